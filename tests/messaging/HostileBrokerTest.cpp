// Brokers that stall, trickle, lie about lengths, vanish or send garbage: every wait ends
// in time, nothing is buffered without limit, no valid message is swallowed, and every
// fault reaches the application named for what it is.

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <random>
#include <thread>
#include <vector>

#include <vqstomp/VQConsumerID.h>
#include <vqstomp/VQJMSConnection.h>
#include <vqstomp/VQStompCustomClient.h>

#include "JMSTestSupport.h"
#include "TestSupport.h"
#include "stomp/VQStompFrameReader.h"
#include "support/VQGuid.h"
#include "transport/VQCommAdapterIndy.h"

using namespace vq;
using namespace vq::test;
using namespace std::string_literals;
using TClock = std::chrono::steady_clock;

namespace {

// A started connection with one polling consumer and an exception listener.
struct THostilePeer : TPeerConnection {
  explicit THostilePeer(TPeerTransport Transport) : TPeerConnection(Transport) {
    Connection->SetExceptionListener(Faults);
    Session = Connection->CreateSession(false, AckModeAuto);
    Consumer = Session->CreateConsumer(Session->CreateQueue("/queue/a"));
    EXPECT_TRUE(Peer.WaitForReceived("SUBSCRIBE"));
  }

  std::string Frame(const std::string& Body) const { return MessageFrame(ConsumerIDOf(Consumer), Body); }
  std::string ReceiveBody(int32_t Timeout) const { return BodyOf(Consumer->Receive(Timeout)); }

  std::shared_ptr<TRecordingExceptionListener> Faults = std::make_shared<TRecordingExceptionListener>();
  std::shared_ptr<ISession> Session;
  std::shared_ptr<IMessageConsumer> Consumer;
};

// How long Action took.
TClock::duration TimeOf(const std::function<void()>& Action) {
  const auto Start = TClock::now();
  Action();
  return TClock::now() - Start;
}

// The scripted peer's misdeeds reach the client as they are, or through TLS.
class HostilePeer : public ::testing::TestWithParam<TPeerTransport> {};

std::vector<TPeerTransport> PeerTransports() {
#ifdef VQSTOMP_WITH_TLS
  return {TPeerTransport::Plain, TPeerTransport::TLS};
#else
  return {TPeerTransport::Plain};
#endif
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Transports, HostilePeer, ::testing::ValuesIn(PeerTransports()),
                         [](const auto& Info) { return Info.param == TPeerTransport::TLS ? "TLS" : "Plain"; });

// Half a frame, then nothing; then a trickle of one byte every 10 ms: each Receive ends
// within its time-out, and the frame, once whole, arrives once.
TEST_P(HostilePeer, StalledAndTrickledFramesNeverHoldReceiveUp) {
  THostilePeer Peer(GetParam());
  const std::string Whole = Peer.Frame("stalled");
  Peer.Peer.Send(Whole.substr(0, 30));
  EXPECT_LT(TimeOf([&] { EXPECT_EQ(Peer.Consumer->Receive(300), nullptr); }), std::chrono::seconds(3));
  Peer.Peer.Send(Whole.substr(30));
  EXPECT_EQ(Peer.ReceiveBody(5000), "stalled");

  const std::string Slow = Peer.Frame("trickled" + std::string(300, '.'));
  std::vector<std::string> Bytes;
  for (const char Byte : Slow) Bytes.emplace_back(1, Byte);
  std::thread Trickle([&] { Peer.Peer.SendChunks(Bytes, std::chrono::milliseconds(10)); });
  int Empty = 0;
  std::shared_ptr<IMessage> Message;
  while (!Message) {
    const auto Took = TimeOf([&] { Message = Peer.Consumer->Receive(500); });
    EXPECT_LT(Took, std::chrono::seconds(3));
    Empty += Message ? 0 : 1;
  }
  Trickle.join();
  EXPECT_GT(Empty, 0);
  EXPECT_EQ(BodyOf(Message), "trickled" + std::string(300, '.'));
}

// A counted frame may end with its NUL and nothing after it: it arrives at once.
TEST_P(HostilePeer, CountedFrameEndedByNulAloneIsDeliveredAtOnce) {
  THostilePeer Peer(GetParam());
  Peer.Peer.Send("MESSAGE\nsubscription:" + ConsumerIDOf(Peer.Consumer) + "\ncontent-length:4\n\nnull\0"s);
  EXPECT_EQ(Peer.ReceiveBody(5000), "null");
}

// A length that is not a plain number, or one past the limit, ends the connection with
// a clear error before any later message could be swallowed or the bytes be held.
TEST_P(HostilePeer, UntrustworthyLengthsCloseTheConnection) {
  for (const std::string Length : {"-1", "0x10", "2147483647"}) {
    SCOPED_TRACE(Length);
    THostilePeer Peer(GetParam());
    Peer.Connection->SetMaxFrameSize(1024 * 1024);
    Peer.Peer.Send("MESSAGE\nsubscription:" + ConsumerIDOf(Peer.Consumer) + "\ncontent-length:" + Length +
                   "\n\nxx\0\n"s + Peer.Frame("valid"));
    EXPECT_THROW(Peer.Consumer->Receive(5000), EIdUntrustedStream);
    EXPECT_THROW(Peer.Consumer->Receive(5000), EVQStompConnectionLostError) << "the stream is not read on";
    ASSERT_EQ(Peer.Faults->Errors().size(), 1u);
    EXPECT_NE(Peer.Faults->Errors()[0].find(Length == "2147483647" ? "more than 1048576 bytes" : "Invalid content-length"),
              std::string::npos)
        << Peer.Faults->Errors()[0];
  }
  THostilePeer Peer(GetParam());
  Peer.Peer.Send("MESSAGE\nsubscription:" + ConsumerIDOf(Peer.Consumer) + "\nContent-Length:3\n\na\0b\0\n"s +
                 Peer.Frame("after"));
  EXPECT_EQ(Peer.ReceiveBody(5000), "a\0b"s) << "a content-length in any letter case counts";
  EXPECT_EQ(Peer.ReceiveBody(5000), "after");
}

// A reset is no graceful close, and an end of stream inside a frame says so.
TEST_P(HostilePeer, LossesAreNamedForWhatTheyAre) {
  for (const bool Reset : {false, true}) {
    THostilePeer Peer(GetParam());
    Peer.Peer.Send(Peer.Frame("complete") + "MESSAGE\nsubscription:x\n\nhalf");
    EXPECT_EQ(Peer.ReceiveBody(5000), "complete");
    Reset ? Peer.Peer.Reset() : Peer.Peer.Close();
    EXPECT_THROW(Peer.Consumer->Receive(5000), EVQCommError);
    ASSERT_EQ(Peer.Faults->Errors().size(), 1u);
    EXPECT_EQ(Peer.Faults->Errors()[0].find(Reset ? "Socket Error # 104" : "The connection was closed in the middle of a frame"),
              0u)
        << Peer.Faults->Errors()[0];
  }
}

// Random bytes never crash the client: the connection is lost with an error, or the
// frames they happen to form are refused one by one; Close still works.
TEST_P(HostilePeer, GarbageBytesEndInAnErrorNotACrash) {
  std::mt19937 Random(20261209);
  for (int Round = 0; Round < 20; ++Round) {
    THostilePeer Peer(GetParam());
    std::string Garbage(4096, '\0');
    for (char& Byte : Garbage) Byte = static_cast<char>(Random());
    Peer.Peer.Send(Garbage);
    Peer.Peer.Close();
    for (int I = 0; I < 100; ++I) {
      try {
        Peer.Consumer->Receive(2000);
      } catch (const EVQStompClientNotConnectedError&) {
        break;
      } catch (const Exception&) {
      }
    }
    EXPECT_NO_THROW(Peer.Connection->Close());
  }
}

// A broker that accepts the connection and never answers CONNECT.
TEST(HostileBroker, StartRaisesWhenNoAnswerComesInTime) {
  TScriptedPeer Peer;
  auto Connection = TVQJMSConnection::CreateConnection("", "", "127.0.0.1", Peer.Port());
  Connection->SetConnectTimeout(500);
  std::string Error;
  const auto Took = TimeOf([&] { Error = ErrorOf<EIdTimeout>([&] { Connection->Start(); }); });
  EXPECT_LT(Took, std::chrono::seconds(5));
  EXPECT_EQ(Error, "No answer to CONNECT from 127.0.0.1:" + std::to_string(Peer.Port()) +
                       " within the connect time-out of 500 ms");
  EXPECT_TRUE(Peer.WaitForClientClose()) << "the socket is released";
}

// A broker that stops reading: Send raises within the write time-out, the connection is
// lost, and Close from another thread returns at once even while a Send is stuck.
TEST_P(HostilePeer, StalledWritesTimeOutAndCloseNeverWaits) {
  for (const bool CloseWhileStuck : {false, true}) {
    SCOPED_TRACE(CloseWhileStuck ? "closed while stuck" : "timed out");
    THostilePeer Peer(GetParam());
    Peer.Connection->SetWriteTimeout(CloseWhileStuck ? 60000 : 500);
    Peer.Peer.StopReading();
    auto Producer = Peer.Session->CreateProducer(Peer.Session->CreateQueue("/queue/big"));
    auto Big = Peer.Session->CreateBytesMessage();
    Big->SetContent(std::string(64 * 1024, 'b'));
    std::atomic<bool> Raised{false};
    std::atomic<int> Sent{0};
    std::thread Sender([&] {
      try {
        for (; Sent < 10000; ++Sent) Producer->Send(Big);
      } catch (const Exception&) {
        Raised = true;
      }
    });
    if (CloseWhileStuck) {
      // By then the buffers on the way are about full: the sender is stuck or soon will be.
      ASSERT_TRUE(WaitUntil([&] { return Sent >= 50; }));
      EXPECT_LT(TimeOf([&] { Peer.Connection->Close(); }), std::chrono::seconds(3));
    }
    Sender.join();
    EXPECT_TRUE(Raised);
    if (!CloseWhileStuck) {
      ASSERT_FALSE(Peer.Faults->Errors().empty());
      EXPECT_NE(Peer.Faults->Errors()[0].find("timed out"), std::string::npos) << Peer.Faults->Errors()[0];
      EXPECT_THROW(Producer->Send(Big), EVQStompConnectionLostError);
      EXPECT_LT(TimeOf([&] { Peer.Connection->Close(); }), std::chrono::seconds(3));
    }
  }
}

// The process of the ActiveMQ that scripts/broker.sh started, or 0.
pid_t ActiveMQProcess() {
  const char* Dir = std::getenv("VQSTOMP_BROKER_DIR");
  std::ifstream PidFile(std::string(Dir ? Dir : "/tmp/vqstomp-broker") + "/activemq/broker.pid");
  pid_t Pid = 0;
  return PidFile >> Pid && Pid > 0 ? Pid : 0;
}

// Thaws a frozen broker however the test ends.
struct TThaw {
  pid_t Pid;
  ~TThaw() { kill(Pid, SIGCONT); }
};

// A real ActiveMQ frozen with SIGSTOP: a send raises within the write time-out and Close
// returns. The broker is always thawed again.
TEST(HostileBroker, FrozenActiveMQMakesSendRaiseAndCloseReturn) {
  VQ_REQUIRE_BROKER(Broker);
  const pid_t Pid = ActiveMQProcess();
  if (Pid == 0) GTEST_SKIP() << "no ActiveMQ started by scripts/broker.sh";
  auto Connection = TVQJMSConnection::CreateConnection("", "", Broker.Host, Broker.Port);
  Connection->Start();
  Connection->SetWriteTimeout(1000);
  auto Session = Connection->CreateSession(false, AckModeAuto);
  auto Producer = Session->CreateProducer(Session->CreateQueue("/queue/vqstomp-frozen-" + NewGuidText()));
  auto Big = Session->CreateBytesMessage();
  Big->SetContent(std::string(64 * 1024, 'f'));
  ASSERT_EQ(kill(Pid, SIGSTOP), 0);
  const TThaw Thaw{Pid};
  std::string Error = "no exception";
  const auto Took = TimeOf([&] {
    try {
      for (int I = 0; I < 20000; ++I) Producer->Send(Big);
    } catch (const EVQCommError& Failure) {
      Error = Failure.what();
    }
  });
  EXPECT_NE(Error.find("timed out"), std::string::npos) << Error;
  EXPECT_LT(Took, std::chrono::seconds(60));
  EXPECT_LT(TimeOf([&] { Connection->Close(); }), std::chrono::seconds(3));
}

// With heart-beats 1000,1000 a frozen ActiveMQ is noticed by its silence, with nothing
// sent or received: the exception listener hears of it within 2.5 s, and a waiting
// Receive raises the loss.
TEST(HostileBroker, FrozenActiveMQIsNoticedByItsSilentHeartBeats) {
  VQ_REQUIRE_BROKER(Broker);
  const pid_t Pid = ActiveMQProcess();
  if (Pid == 0) GTEST_SKIP() << "no ActiveMQ started by scripts/broker.sh";
  TVQConnectionOptions Options;
  Options.Host = Broker.Host;
  Options.Port = Broker.Port;
  Options.AcceptVersion = "1.1,1.2";
  Options.HeartBeatSend = Options.HeartBeatReceive = std::chrono::milliseconds(1000);
  const auto Connection = TVQJMSConnection::CreateConnection(Options);
  const auto Faults = std::make_shared<TRecordingExceptionListener>();
  Connection->SetExceptionListener(Faults);
  Connection->Start();
  ASSERT_EQ(Connection->GetClient().GetHeartBeat().Receive, 1000);
  const auto Session = Connection->CreateSession(false, AckModeAuto);
  const auto Consumer = Session->CreateConsumer(Session->CreateQueue("/queue/vqstomp-silent-" + NewGuidText()));
  std::string Raised = "no exception";
  std::thread Waiting([&] { Raised = ErrorOf<EVQStompConnectionLostError>([&] { Consumer->Receive(30000); }); });

  // A while of heart-beats first (ActiveMQ beats every second), so that the silence
  // counts from a beat of the broker rather than from the connect.
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  ASSERT_EQ(kill(Pid, SIGSTOP), 0);
  const TThaw Thaw{Pid};
  const auto Frozen = TClock::now();
  ASSERT_TRUE(WaitUntil([&] { return !Faults->Errors().empty(); }, std::chrono::seconds(30)));
  const auto Noticed = TClock::now() - Frozen;
  Waiting.join();
  std::cout << "frozen broker noticed after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(Noticed).count() << " ms" << std::endl;
  EXPECT_LT(Noticed, std::chrono::milliseconds(2500));
  EXPECT_NE(Faults->Errors().front().find("heart-beat"), std::string::npos) << Faults->Errors().front();
  EXPECT_NE(Raised.find("heart-beat"), std::string::npos) << Raised;
  EXPECT_LT(TimeOf([&] { Connection->Close(); }), std::chrono::seconds(3));
}
