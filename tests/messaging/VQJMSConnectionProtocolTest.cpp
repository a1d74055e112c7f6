// The connection with STOMP 1.1 and 1.2 switched on: versions, receipts, individual
// acknowledgement, NACK and heart-beats, against a scripted peer and the real brokers.

#include <vqstomp/VQJMSConnection.h>

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include <vqstomp/VQMessageConsumer.h>
#include <vqstomp/VQStompCustomClient.h>

#include "JMSTestSupport.h"
#include "TestSupport.h"
#include "support/VQGuid.h"

using namespace vq;
using namespace vq::test;
using namespace std::string_literals;

namespace {

TVQConnectionOptions Stomp12Options(int32_t Port) {
  TVQConnectionOptions Options;
  Options.Host = "127.0.0.1";
  Options.Port = Port;
  Options.AcceptVersion = "1.2";
  Options.VirtualHost = "/";
  Options.SyncSend = true;
  Options.SyncCommands = true;
  return Options;
}

}  // namespace

TEST(VQJMSConnectionProtocol, Stomp12ConfirmsEveryCommandAndNamesMessagesByTheirAck) {
  TScriptedPeer Peer;
  Peer.SetAutoConnected(true, "CONNECTED\nversion:1.2\n\n\0\n"s);
  const auto Connection = TVQJMSConnection::CreateConnection(Stomp12Options(Peer.Port()));
  const TReceiptAnswerer Answerer(Peer);
  Connection->Start();
  EXPECT_EQ(Connection->GetClient().GetVersion(), TStompVersion::V1_2);

  const auto Session = Connection->CreateSession(false, AckModeClientIndividual);
  const auto Queue = Session->CreateQueue("/queue/a");
  const auto Consumer = Session->CreateConsumer(Queue);
  const std::string ID = ConsumerIDOf(Consumer);
  // A Receive waiting on one thread and a synchronous send on another: one of them
  // reads for both.
  std::shared_ptr<IMessage> First;
  std::thread Receiving([&] { First = Consumer->Receive(20000); });
  const auto Producer = Session->CreateProducer(Queue);
  EXPECT_TRUE(Producer->GetSyncSend()) << "from the options";
  Producer->Send(Session->CreateTextMessage("out"s));
  Peer.Send("MESSAGE\nsubscription:" + ID + "\nmessage-id:m1\nack:a\\c1\n\none\0\n"s + "MESSAGE\nsubscription:" + ID +
            "\nmessage-id:m2\nack:a2\n\ntwo\0\n"s);
  Receiving.join();
  ASSERT_NE(First, nullptr);
  First->Acknowledge();
  const auto Second = Consumer->Receive(20000);
  ASSERT_NE(Second, nullptr);
  Second->Nack();

  Connection->Close();
  ASSERT_TRUE(Peer.WaitForClientClose());

  const auto Frames = SplitFrames(Peer.Received());
  ASSERT_EQ(Commands(Frames), (std::vector<std::string>{"CONNECT", "SUBSCRIBE", "SEND", "ACK", "NACK", "DISCONNECT"}));
  EXPECT_EQ(Frames[0]->GetHeaders(), (TStompHeaders{{"accept-version", "1.2"}, {"host", "/"}}));
  EXPECT_EQ(Frames[1]->GetHeaders(), (TStompHeaders{{"destination", "/queue/a"},
                                                    {"ack", "client-individual"},
                                                    {"id", ID},
                                                    {"receipt", "receipt-1"}}));
  EXPECT_EQ(Frames[2]->GetHeader("receipt"), "receipt-2");
  EXPECT_EQ(Frames[3]->GetHeaders(), (TStompHeaders{{"id", "a\\c1"}, {"receipt", "receipt-3"}}))
      << "1.2 names the message by its ack header, escaped as it came";
  EXPECT_EQ(Frames[4]->GetHeaders(), (TStompHeaders{{"id", "a2"}, {"receipt", "receipt-4"}}));
  EXPECT_EQ(Frames[5]->GetHeader("receipt"), "receipt-5");
}

TEST(VQJMSConnectionProtocol, NackNeedsAVersionThatHasItAndAModeThatAcknowledges) {
  TPeerConnection Peer;
  const auto Client = Peer.Connection->CreateSession(false, AckModeClient);
  const auto Auto = Peer.Connection->CreateSession(false, AckModeAuto);
  const auto ClientConsumer = Client->CreateConsumer(Client->CreateQueue("/queue/a"));
  const auto AutoConsumer = Auto->CreateConsumer(Auto->CreateQueue("/queue/b"));
  Peer.Peer.Send("MESSAGE\nsubscription:" + ConsumerIDOf(ClientConsumer) + "\nmessage-id:m1\n\none\0\n"s +
                 "MESSAGE\nsubscription:" + ConsumerIDOf(AutoConsumer) + "\nmessage-id:m2\n\ntwo\0\n"s);
  const auto One = ClientConsumer->Receive(20000);
  const auto Two = AutoConsumer->Receive(20000);
  ASSERT_TRUE(One && Two);
  EXPECT_EQ(ErrorOf<EVQStompError>([&] { One->Nack(); }), "NACK needs STOMP 1.1 or later; this connection speaks STOMP 1.0");
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { Two->Nack(); }),
            "Nack needs a session with client or individual acknowledgement");
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { Client->CreateTextMessage("mine"s)->Nack(); }),
            "Only a received message can be acknowledged");
}

// A listener whose synchronous send waits for a receipt reads the frames itself; a message
// that arrives meanwhile is handed over once the listener returns, never inside it.
TEST(VQJMSConnectionProtocol, AListenerMaySendSynchronouslyWithoutNesting) {
  TScriptedPeer Peer;
  Peer.SetAutoConnected(true, "CONNECTED\nversion:1.1\n\n\0\n"s);
  auto Options = Stomp12Options(Peer.Port());
  Options.AcceptVersion = "1.1";
  Options.SyncCommands = false;
  const auto Connection = TVQJMSConnection::CreateConnection(Options);
  Connection->Start();
  const auto Session = Connection->CreateSession(false, AckModeAuto);
  const auto Consumer = Session->CreateConsumer(Session->CreateQueue("/queue/in"));
  const auto Producer = Session->CreateProducer(Session->CreateQueue("/queue/out"));
  std::mutex Lock;
  std::vector<std::string> Events;
  std::atomic<int> Depth{0};

  struct TReplying : IMessageListener {
    std::function<void(const std::shared_ptr<IMessage>&)> Call;
    void OnMessage(const std::shared_ptr<IMessage>& Message) override { Call(Message); }
  };
  auto Listener = std::make_shared<TReplying>();
  Listener->Call = [&](const std::shared_ptr<IMessage>& Message) {
    const int Inside = ++Depth;
    {
      std::lock_guard Guard(Lock);
      Events.push_back("in " + BodyOf(Message) + (Inside > 1 ? " nested" : ""));
    }
    Producer->Send(Session->CreateTextMessage("reply to " + BodyOf(Message)));
    --Depth;
  };
  Consumer->SetMessageListener(Listener);
  const std::string ID = ConsumerIDOf(Consumer);
  Peer.Send("MESSAGE\nsubscription:" + ID + "\nmessage-id:m1\n\nfirst\0\n"s);
  ASSERT_TRUE(Peer.WaitForReceived("receipt:receipt-1\n"));
  // The second message comes before the receipt of the first reply.
  Peer.Send("MESSAGE\nsubscription:" + ID + "\nmessage-id:m2\n\nsecond\0\nRECEIPT\nreceipt-id:receipt-1\n\n\0\n"s);
  ASSERT_TRUE(Peer.WaitForReceived("receipt:receipt-2\n"));
  Peer.Send("RECEIPT\nreceipt-id:receipt-2\n\n\0\n"s);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard Guard(Lock);
    return Events.size() == 2 && Depth == 0;
  }));
  EXPECT_EQ(Events, (std::vector<std::string>{"in first", "in second"}));
  Peer.SetAutoConnected(false);
  std::thread Closing([&] {
    if (Peer.WaitForReceived("DISCONNECT")) Peer.Send("RECEIPT\nreceipt-id:receipt-3\n\n\0\n"s);
  });
  Connection->Close();
  Closing.join();
}

namespace {

std::string UniqueQueue(const std::string& Purpose) { return "/queue/vqstomp-" + Purpose + "-" + NewGuidText(); }

// STOMP 1.2 with heart-beats 1000,1000 and synchronous sends, started.
std::shared_ptr<TVQJMSConnection> Stomp12Connection(const TBrokerAddress& Broker) {
  auto Options = Stomp12Options(Broker.Port);
  Options.Host = Broker.Host;
  Options.SyncCommands = false;
  Options.HeartBeatSend = Options.HeartBeatReceive = std::chrono::milliseconds(1000);
  auto Connection = TVQJMSConnection::CreateConnection(Options);
  Connection->Start();
  return Connection;
}

}  // namespace

// The NACKed message comes back: on its queue (RabbitMQ requeues it), or on the broker's
// dead-letter queue (ActiveMQ moves a persistent one there).
TEST(VQJMSConnectionBroker, Stomp12SynchronousSendsIndividualAcknowledgementAndANack) {
  VQ_REQUIRE_BROKER(Broker);
  constexpr int Count = 2000;
  constexpr int Refused = 1000;
  const std::string Name = UniqueQueue("individual");
  const auto Connection = Stomp12Connection(Broker);
  EXPECT_EQ(Connection->GetClient().GetVersion(), TStompVersion::V1_2);
  EXPECT_EQ(Connection->GetClient().GetHeartBeat().Receive, 1000);
  const auto Session = Connection->CreateSession(false, AckModeClientIndividual);
  const auto Queue = Session->CreateQueue(Name);
  const auto Producer = Session->CreateProducer(Queue);
  for (int I = 1; I <= Count; ++I) {
    const auto Message = Session->CreateTextMessage("m" + std::to_string(I));
    Message->SetJMSPersistent(I == Refused);
    Producer->Send(Message);
  }

  // ActiveMQ may hand the persistent one out first: each is counted, not ordered.
  const auto Consumer = Session->CreateConsumer(Queue);
  const std::string RefusedBody = "m" + std::to_string(Refused);
  std::set<std::string> Seen;
  std::shared_ptr<IMessage> Again;
  while (Seen.size() < Count) {
    const auto Message = Consumer->Receive(20000);
    ASSERT_NE(Message, nullptr) << "after " << Seen.size() << " messages";
    const std::string Body = BodyOf(Message);
    if (!Seen.insert(Body).second) {
      ASSERT_EQ(Body, RefusedBody) << "only the NACKed message comes twice";
      Again = Message;  // RabbitMQ requeues it at once, among the later ones
      continue;
    }
    Body == RefusedBody ? Message->Nack() : Message->Acknowledge();
  }
  if (!Again) Again = Consumer->Receive(3000);
  if (Again) {
    EXPECT_TRUE(Again->GetJMSRedelivered()) << "back on its queue, marked redelivered";
  }
  if (!Again) {
    const auto DeadLetters = Session->CreateConsumer(Session->CreateQueue("/queue/ActiveMQ.DLQ"));
    while ((Again = DeadLetters->Receive(10000)) && Again->GetProperties()->GetString("original-destination") != Name) {
      Again->Acknowledge();
    }
  }
  ASSERT_NE(Again, nullptr) << "the NACKed message came back nowhere";
  EXPECT_EQ(BodyOf(Again), RefusedBody);
  Again->Acknowledge();
  EXPECT_EQ(Consumer->Receive(1000), nullptr) << "every other message was acknowledged once";
  EXPECT_NO_THROW(Connection->Close()) << "DISCONNECT confirmed by its receipt";
}

// RabbitMQ refuses a destination of no kind it knows; ActiveMQ one whose temporary queue
// does not exist. Either answers with ERROR, which the waiting send raises; RabbitMQ
// keeps the connection.
TEST(VQJMSConnectionBroker, ASendTheBrokerRefusesRaisesItsError) {
  VQ_REQUIRE_BROKER(Broker);
  const auto Connection = Stomp12Connection(Broker);
  const auto Faults = std::make_shared<TRecordingExceptionListener>();
  Connection->SetExceptionListener(Faults);
  const auto Session = Connection->CreateSession(false, AckModeAuto);
  const auto Producer = Session->CreateProducer(nullptr);
  std::string Error = "no exception";
  try {
    Producer->Send(Session->CreateQueue("/bogus/x"), Session->CreateTextMessage("refused"s));
    Producer->Send(Session->CreateQueue("/remote-temp-queue/ID:vqstomp-none-" + NewGuidText()),
                   Session->CreateTextMessage("refused"s));
  } catch (const EVQStompServerErrorMessage& Refusal) {
    Error = Refusal.what();
    EXPECT_FALSE(Refusal.GetBody().empty()) << "the broker's explanation";
  }
  EXPECT_NE(Error, "no exception");
}
