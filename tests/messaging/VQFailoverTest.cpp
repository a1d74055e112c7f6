#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <vqstomp/VQJMSConnection.h>
#include <vqstomp/VQStompFrame.h>

#include "JMSTestSupport.h"
#include "LoopbackListener.h"
#include "TestSupport.h"

using namespace vq;
using namespace vq::test;
using namespace std::string_literals;

namespace {

class TTransportEvents : public ITransportListener {
public:
  void OnInterrupted(const Exception& Cause) override { Record("interrupted: "s + Cause.what()); }
  void OnResumed(const std::string& Broker) override { Record("resumed " + Broker); }
  std::vector<std::string> Events() const {
    std::lock_guard Guard(FLock);
    return FEvents;
  }
  size_t Resumptions() const {
    size_t Count = 0;
    for (const auto& Event : Events()) Count += Event.rfind("resumed", 0) == 0;
    return Count;
  }

private:
  void Record(std::string Event) {
    std::lock_guard Guard(FLock);
    FEvents.push_back(std::move(Event));
  }

  mutable std::mutex FLock;
  std::vector<std::string> FEvents;
};

// A port with nothing listening: connecting there is refused at once.
int32_t RefusingPort() {
  int32_t Port = 0;
  close(ListenOnLoopback(Port));
  return Port;
}

std::string Address(int32_t Port) { return "127.0.0.1:" + std::to_string(Port); }

// Two scripted brokers, the first one connected to, with quick reconnection.
struct TCluster {
  explicit TCluster(const std::function<void(TVQConnectionOptions&)>& Adjust = {}) {
    A.SetAutoConnected(true);
    B.SetAutoConnected(true);
    TVQConnectionOptions Options;
    Options.Brokers = {{"127.0.0.1", A.Port()}, {"127.0.0.1", B.Port()}};
    Options.Reconnect.Enabled = true;
    Options.Reconnect.InitialDelay = std::chrono::milliseconds(10);
    Options.Reconnect.MaxDelay = std::chrono::milliseconds(100);
    Options.ConnectTimeout = std::chrono::milliseconds(5000);
    if (Adjust) Adjust(Options);
    Connection = TVQJMSConnection::CreateConnection(Options);
    Connection->SetTransportListener(Events);
    Connection->SetExceptionListener(Faults);
    Connection->Start();
  }
  ~TCluster() {
    try {
      Connection->Close();
    } catch (const std::exception&) {
    }
  }
  // Resets the first broker's connection and waits until the second one took over.
  void MoveToB() {
    A.Reset();
    ASSERT_TRUE(WaitUntil([&] { return Events->Resumptions() == 1; })) << Faults->Errors().size();
  }
  std::vector<std::string> CommandsOfB() const { return Commands(SplitFrames(B.Received())); }

  TScriptedPeer A;
  TScriptedPeer B;
  std::shared_ptr<TTransportEvents> Events = std::make_shared<TTransportEvents>();
  std::shared_ptr<TRecordingExceptionListener> Faults = std::make_shared<TRecordingExceptionListener>();
  std::shared_ptr<TVQJMSConnection> Connection;
};

}  // namespace

TEST(VQFailover, MovesToTheNextBrokerSubscribesAgainAndRefusesAcksOfTheLostConnection) {
  TCluster Cluster;
  EXPECT_EQ(Cluster.Connection->GetBroker(), Address(Cluster.A.Port()));
  const auto Session = Cluster.Connection->CreateSession(false, AckModeClientIndividual);
  const auto Queue = Session->CreateQueue("/queue/f");
  const auto Consumer = Session->CreateConsumer(Queue);
  const std::string ID = ConsumerIDOf(Consumer);
  const auto Other = Session->CreateConsumer(Session->CreateQueue("/queue/other"));
  // Read on the way to m1 and held for the other consumer, unacknowledged.
  Cluster.A.Send(MessageFrame(ConsumerIDOf(Other), "held") + MessageFrame(ID, "m1"));
  const auto First = Consumer->Receive(5000);
  ASSERT_TRUE(First);
  EXPECT_EQ(BodyOf(First), "m1");
  // The waiting call reads, so it is what notices the loss.
  auto Next = std::async(std::launch::async, [&] { return Consumer->Receive(20000); });

  Cluster.MoveToB();
  const auto Events = Cluster.Events->Events();
  ASSERT_EQ(Events.size(), 2u);
  EXPECT_EQ(Events[0].find("interrupted: The connection to " + Address(Cluster.A.Port()) + " was lost"), 0u)
      << Events[0];
  EXPECT_EQ(Events[1], "resumed " + Address(Cluster.B.Port()));
  EXPECT_EQ(Cluster.Connection->GetBroker(), Address(Cluster.B.Port()));
  ASSERT_TRUE(Cluster.B.WaitForReceived("/queue/other"));
  const auto Frames = SplitFrames(Cluster.B.Received());
  ASSERT_EQ(Commands(Frames), (std::vector<std::string>{"CONNECT", "SUBSCRIBE", "SUBSCRIBE"}));
  EXPECT_EQ(Frames[1]->GetHeader("id"), ID);
  EXPECT_EQ(Frames[1]->GetHeader("ack"), "client-individual");
  EXPECT_EQ(Frames[1]->GetHeader("destination"), "/queue/f");

  EXPECT_NE(ErrorOf<EIllegalStateException>([&] { First->Acknowledge(); }).find("lost since"), std::string::npos);
  EXPECT_FALSE(Other->Receive(100)) << "the broker sends the held message again";
  Cluster.B.Send("MESSAGE\nmessage-id:id-m1\nsubscription:" + ID + "\nredelivered:true\n\nm1\0\n"s);
  const auto Again = Next.get();
  ASSERT_TRUE(Again);
  EXPECT_EQ(BodyOf(Again), "m1");
  EXPECT_TRUE(Again->GetJMSRedelivered());
  Again->Acknowledge();
  EXPECT_TRUE(Cluster.B.WaitForReceived("ACK\nmessage-id:id-m1\n"));
  Session->CreateProducer(Queue)->Send(Session->CreateTextMessage(u"after"));
  EXPECT_TRUE(Cluster.B.WaitForReceived("SEND\ndestination:/queue/f\n"));
  EXPECT_TRUE(Cluster.Faults->Errors().empty()) << Cluster.Faults->Errors().front();
  Cluster.Connection->Close();
  EXPECT_TRUE(Cluster.B.WaitForReceived("DISCONNECT"));
}

TEST(VQFailover, WaitingReceiveAndListenersCarryOnAcrossTheMove) {
  TCluster Cluster;
  const auto Polling = Cluster.Connection->CreateSession(false, AckModeAuto);
  const auto Listening = Cluster.Connection->CreateSession(false, AckModeAuto);
  const auto Polled = Polling->CreateConsumer(Polling->CreateQueue("/queue/p"));
  const auto Listened = Listening->CreateConsumer(Listening->CreateQueue("/queue/l"));
  const auto Listener = std::make_shared<TRecordingListener>();
  Listened->SetMessageListener(Listener);
  Cluster.A.Send(MessageFrame(ConsumerIDOf(Listened), "before"));
  ASSERT_TRUE(WaitUntil([&] { return Listener->Count() == 1; }));
  auto Waiting = std::async(std::launch::async, [&] { return Polled->Receive(20000); });

  Cluster.MoveToB();
  ASSERT_TRUE(Cluster.B.WaitForReceived([](const std::string& Received) {
    return Commands(SplitFrames(Received)).size() == 3;
  }));
  Cluster.B.Send(MessageFrame(ConsumerIDOf(Listened), "after") + MessageFrame(ConsumerIDOf(Polled), "polled"));
  const auto Message = Waiting.get();
  ASSERT_TRUE(Message);
  EXPECT_EQ(BodyOf(Message), "polled");
  ASSERT_TRUE(WaitUntil([&] { return Listener->Count() == 2; }));
  EXPECT_EQ(Listener->Texts().back(), "after");
}

TEST(VQFailover, ATransactionOpenAtTheLossIsRolledBackAndTheNextOneCommits) {
  TCluster Cluster;
  const auto Session = Cluster.Connection->CreateSession(true, AckModeTransacted);
  const auto Queue = Session->CreateQueue("/queue/t");
  Session->CreateProducer(Queue)->Send(Session->CreateTextMessage(u"lost"));
  ASSERT_TRUE(Cluster.A.WaitForReceived("SEND\n"));
  const auto Consumer = Session->CreateConsumer(Queue);
  auto Waiting = std::async(std::launch::async, [&] { return Consumer->Receive(500); });

  Cluster.MoveToB();
  ASSERT_TRUE(Cluster.B.WaitForReceived("BEGIN\n"));
  EXPECT_NE(ErrorOf<ETransactionRolledBackException>([&] { Session->Commit(); }).find("rolled back"),
            std::string::npos);
  Session->Commit();
  ASSERT_TRUE(Cluster.B.WaitForReceived("COMMIT\n"));
  EXPECT_TRUE(Cluster.B.WaitForReceived([](const std::string& Received) {
    return Commands(SplitFrames(Received)).size() == 7;
  }));
  EXPECT_EQ(Cluster.CommandsOfB(),
            (std::vector<std::string>{"CONNECT", "SUBSCRIBE", "BEGIN", "ABORT", "BEGIN", "COMMIT", "BEGIN"}));
  const auto Frames = SplitFrames(Cluster.B.Received());
  EXPECT_EQ(Frames[3]->GetHeader("transaction"), Frames[2]->GetHeader("transaction"));
  EXPECT_FALSE(Waiting.get());
}

TEST(VQFailover, ASyncSendTheLossLeftUnconfirmedIsSentAgainOnlyWhenAsked) {
  for (const bool Resend : {false, true}) {
    SCOPED_TRACE(Resend ? "resent" : "raised");
    TCluster Cluster([&](TVQConnectionOptions& Options) {
      Options.SyncSend = true;
      Options.Reconnect.ResendUnconfirmed = Resend;
    });
    const auto Session = Cluster.Connection->CreateSession(false, AckModeAuto);
    const auto Producer = Session->CreateProducer(Session->CreateQueue("/queue/s"));
    auto Sent = std::async(std::launch::async, [&] { Producer->Send(Session->CreateTextMessage(u"once")); });
    ASSERT_TRUE(Cluster.A.WaitForReceived("receipt:receipt-1\n"));
    const TReceiptAnswerer Answers(Cluster.B, 2);
    Cluster.A.Reset();
    if (!Resend) {
      EXPECT_THROW(Sent.get(), EVQStompReceiptLost);
      ASSERT_TRUE(WaitUntil([&] { return Cluster.Events->Resumptions() == 1; }));
      EXPECT_EQ(Cluster.CommandsOfB(), std::vector<std::string>{"CONNECT"});
      continue;
    }
    EXPECT_NO_THROW(Sent.get());
    const auto Frames = SplitFrames(Cluster.B.Received());
    ASSERT_EQ(Commands(Frames), (std::vector<std::string>{"CONNECT", "SEND"}));
    EXPECT_EQ(Frames[1]->GetBody(), "once");
  }
}

TEST(VQFailover, CallsWaitOnlyTheirTimeOutAndAllEndWhenAttemptsRunOut) {
  TCluster Cluster([&](TVQConnectionOptions& Options) {
    // The first broker's port still takes connections after the reset, but answers none.
    Options.ConnectTimeout = std::chrono::milliseconds(300);
    Options.Brokers[1].Port = RefusingPort();
    Options.Reconnect.MaxAttempts = 6;
    Options.Reconnect.InitialDelay = std::chrono::milliseconds(200);
    Options.Reconnect.ResumeTimeout = std::chrono::milliseconds(100);
  });
  const auto Session = Cluster.Connection->CreateSession(false, AckModeAuto);
  const auto Consumer = Session->CreateConsumer(Session->CreateQueue("/queue/g"));
  const auto Producer = Session->CreateProducer(Session->CreateQueue("/queue/g"));
  auto Receiving = std::async(std::launch::async, [&] {
    return ErrorOf<EVQStompConnectionLostError>([&] { Consumer->Receive(30000); });
  });
  Cluster.A.Reset();
  ASSERT_TRUE(WaitUntil([&] { return !Cluster.Events->Events().empty(); }));
  EXPECT_NE(ErrorOf<EVQStompConnectionLostError>([&] { Producer->Send(Session->CreateTextMessage(u"x")); })
                .find("not made again within 100 ms"),
            std::string::npos);

  ASSERT_TRUE(WaitUntil([&] { return !Cluster.Faults->Errors().empty(); }));
  EXPECT_NE(Cluster.Faults->Errors().front().find("Gave up reconnecting after 6 attempts"), std::string::npos)
      << Cluster.Faults->Errors().front();
  EXPECT_NE(Receiving.get().find("was lost"), std::string::npos);
  EXPECT_THROW(Producer->Send(Session->CreateTextMessage(u"x")), EVQStompConnectionLostError);
  EXPECT_EQ(Cluster.Events->Resumptions(), 0u);
  EXPECT_NO_THROW(Cluster.Connection->Close());
}
