#include <vqstomp/VQJMSConnection.h>

#include <gtest/gtest.h>

#include <thread>

#include <vqstomp/VQDestination.h>
#include <vqstomp/VQMessageConsumer.h>
#include <vqstomp/VQQueue.h>
#include <vqstomp/VQStompCustomClient.h>

#include "JMSTestSupport.h"
#include "ProcessRunner.h"
#include "TestSupport.h"
#include "support/VQGuid.h"
#include "support/VQUnicode.h"

using namespace vq;
using namespace vq::test;
using namespace std::string_literals;

namespace {

std::string UnsubscribedFrame(const std::string& Destination, const std::string& Body) {
  return "MESSAGE\nmessage-id:id-" + Body + "\ndestination:" + Destination + "\n\n" + Body + "\0\n"s;
}

// Up to Count bodies, taken with Receive until one wait of Wait ms brings nothing.
std::vector<std::string> BodiesOf(IMessageConsumer& Consumer, size_t Count, int32_t Wait = 5000) {
  std::vector<std::string> Bodies;
  while (Bodies.size() < Count) {
    const auto Message = Consumer.Receive(Wait);
    if (!Message) break;
    Bodies.push_back(BodyOf(Message));
  }
  return Bodies;
}

}  // namespace

TEST(VQJMSConnection, TransactedSessionFrameSequence) {
  TPeerConnection Peer;
  auto Session = Peer.Connection->CreateSession(false, AckModeTransacted);
  ASSERT_TRUE(Session->GetTransacted());
  const auto Queue = Session->CreateQueue("/queue/a");
  const auto First = Session->CreateConsumer(Queue);
  const auto Second = Session->CreateConsumer(Session->CreateTopic("/topic/b"));
  Session->Commit();
  Session->Rollback();
  Peer.Connection->Stop();
  Peer.Connection->Start();
  Session->Close();
  Session->Close();
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { Session->CreateQueue("/queue/a"); }), "The session is closed");
  Peer.Connection->Stop();
  Peer.Connection->Start();
  Peer.Connection->Close();
  Peer.Connection->Close();
  ASSERT_TRUE(Peer.Peer.WaitForClientClose());

  const auto Frames = Peer.FramesAfterConnect();
  EXPECT_EQ(Commands(Frames), (std::vector<std::string>{"BEGIN", "SUBSCRIBE", "SUBSCRIBE", "COMMIT", "BEGIN", "ABORT",
                                                        "BEGIN", "ABORT", "UNSUBSCRIBE", "UNSUBSCRIBE", "DISCONNECT"}))
      << "a restart begins no second transaction; a closed session begins none and is not started again";
  const std::string Transaction = Frames[0]->GetHeader("transaction");
  EXPECT_EQ(Transaction.size(), 38u);
  for (size_t Index : {0, 3, 4, 5, 6, 7}) EXPECT_EQ(Frames[Index]->GetHeader("transaction"), Transaction);
  EXPECT_EQ(Frames[1]->GetHeaders(), (TStompHeaders{{"destination", "/queue/a"}, {"ack", "auto"}, {"id", ConsumerIDOf(First)}}));
  EXPECT_EQ(Frames[2]->GetHeader("destination"), "/topic/b");
  EXPECT_EQ(Frames[8]->GetHeaders(), (TStompHeaders{{"id", ConsumerIDOf(First)}}));
  EXPECT_EQ(Frames[9]->GetHeader("id"), ConsumerIDOf(Second));
}

TEST(VQJMSConnection, SessionsAndConsumersClose) {
  TPeerConnection Peer;
  auto Stopped = Peer.Connection->CreateSession(false, AckModeAuto);
  auto Kept = Peer.Connection->CreateSession(false, AckModeAuto);
  const auto Dropped = Stopped->CreateConsumer(Stopped->CreateQueue("/queue/stopped"));
  const auto One = Kept->CreateConsumer(Kept->CreateQueue("/queue/one"));
  const auto Other = Kept->CreateConsumer(Kept->CreateQueue("/queue/other"));
  Stopped->Stop();
  Stopped->Close();
  One->Close();
  One->Close();
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { One->Receive(10); }), "The consumer is closed");
  EXPECT_THROW(One->SetMessageListener(std::make_shared<TRecordingListener>()), EIllegalStateException);
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { Dropped->Receive(10); }), "The consumer is closed");

  // Messages still on their way to a closed consumer go nowhere; the others arrive.
  Peer.Peer.Send(MessageFrame(ConsumerIDOf(One), "late") + MessageFrame(ConsumerIDOf(Other), "kept"));
  EXPECT_EQ(BodiesOf(*Other, 1), (std::vector<std::string>{"kept"}));
  EXPECT_TRUE(Peer.Log.Contains("2 Found no Matching Consumer for message id-late"));
  Peer.Connection->Close();
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { Other->Receive(10); }), "The connection is closed");
  EXPECT_EQ(ErrorOf<Exception>([&] { Peer.Connection->Start(); }), "Connection is closed");
  ASSERT_TRUE(Peer.Peer.WaitForClientClose());

  const auto Frames = Peer.FramesAfterConnect();
  ASSERT_EQ(Commands(Frames), (std::vector<std::string>{"SUBSCRIBE", "SUBSCRIBE", "SUBSCRIBE", "UNSUBSCRIBE",
                                                        "UNSUBSCRIBE", "DISCONNECT"}))
      << "a stopped session unsubscribes on Close; a consumer unsubscribes alone, once";
  EXPECT_EQ(Frames[3]->GetHeader("id"), ConsumerIDOf(Dropped));
  EXPECT_EQ(Frames[4]->GetHeader("id"), ConsumerIDOf(One));
}

TEST(VQJMSConnection, AcknowledgeModesAndProducerStamping) {
  TPeerConnection Peer;
  auto ClientTransacted = Peer.Connection->CreateSession(true, AckModeClient);
  EXPECT_TRUE(ClientTransacted->GetTransacted());
  for (uint8_t Mode : {2, 3}) EXPECT_FALSE(Peer.Connection->CreateSession(false, Mode)->GetTransacted());
  EXPECT_TRUE(Peer.Connection->CreateSession(true, AckModeAuto)->GetTransacted());
  auto Client = Peer.Connection->CreateSession(false, AckModeClient);
  auto Auto = Peer.Connection->CreateSession(false, AckModeAuto);
  const auto InTransaction = ClientTransacted->CreateConsumer(ClientTransacted->CreateQueue("/queue/tx"));
  const auto Acknowledged = Client->CreateConsumer(Client->CreateQueue("/queue/client"));
  const auto Automatic = Auto->CreateConsumer(Auto->CreateQueue("/queue/auto"));
  Peer.Peer.Send(MessageFrame(ConsumerIDOf(InTransaction), "t") + MessageFrame(ConsumerIDOf(Acknowledged), "c") +
                 MessageFrame(ConsumerIDOf(Automatic), "a"));
  for (const auto& Consumer : {InTransaction, Acknowledged, Automatic}) {
    const auto Message = Consumer->Receive(5000);
    ASSERT_NE(Message, nullptr);
    Message->Acknowledge();
  }
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { Auto->CreateTextMessage(u"mine")->Acknowledge(); }),
            "Only a received message can be acknowledged");
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { Auto->Commit(); }),
            "Commit needs a transacted session: create it with CreateSession(true, ...)");

  auto Plain = Peer.Connection->CreateSession(false, AckModeAuto);
  auto Message = Plain->CreateTextMessage(u"hello");
  auto Producer = Plain->CreateProducer(Plain->CreateQueue("/queue/p"));
  Producer->SetPriority(9);
  Producer->Send(Message);
  auto Stamping = ClientTransacted->CreateProducer(nullptr);
  EXPECT_EQ(ErrorOf<Exception>([&] { Stamping->Send(Message); }), "No Destination");
  EXPECT_THROW(Stamping->Send(std::make_shared<TVQDestination>(), Message), EInvalidDestinationException);
  Stamping->Send(ClientTransacted->CreateQueue("/queue/t"), Message);
  Peer.Connection->Close();
  ASSERT_TRUE(Peer.Peer.WaitForClientClose());

  const auto Frames = Peer.FramesAfterConnect();
  ASSERT_EQ(Commands(Frames), (std::vector<std::string>{"BEGIN", "BEGIN", "SUBSCRIBE", "SUBSCRIBE", "SUBSCRIBE", "ACK",
                                                        "ACK", "SEND", "SEND", "DISCONNECT"}));
  const std::string Transaction = Frames[0]->GetHeader("transaction");
  EXPECT_EQ(Frames[2]->GetHeader("ack"), "client") << "the mode decides the subscription, transacted or not";
  EXPECT_EQ(Frames[3]->GetHeader("ack"), "client");
  EXPECT_EQ(Frames[4]->GetHeader("ack"), "auto");
  EXPECT_EQ(Frames[5]->GetHeaders(), (TStompHeaders{{"message-id", "id-t"}, {"transaction", Transaction}}));
  EXPECT_EQ(Frames[6]->GetHeaders(), (TStompHeaders{{"message-id", "id-c"}})) << "nothing for automatic acknowledgement";
  EXPECT_EQ(Frames[7]->GetHeaders(), (TStompHeaders{{"destination", "/queue/p"}})) << "producer settings change nothing";
  EXPECT_EQ(Frames[8]->GetHeader("transaction"), Transaction);
}

TEST(VQJMSConnection, StateRules) {
  TScriptedPeer Peer;
  Peer.SetAutoConnected(true);
  auto Connection = TVQJMSConnection::CreateConnection("", "", "127.0.0.1", Peer.Port());
  TLogRecorder Log;
  Log.Attach(*Connection->GetClient().GetLogger());
  Connection->Stop();
  EXPECT_EQ(ErrorOf<EVQStompClientAlreadyDisconnectedError>([&] { Connection->Close(); }), "Already disconnected");

  auto Early = Connection->CreateSession(false, 0);
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { Early->CreateQueue("/queue/a"); }), "EIllegalStateException");
  Connection->SetClientID("client-1");
  Connection->Start();
  EXPECT_EQ(Connection->GetClientID(), "client-1");
  EXPECT_NO_THROW(Early->CreateQueue("/queue/a")) << "Start starts the sessions made before";
  EXPECT_EQ(Early->CreateTextMessage()->GetText(), u"");
  EXPECT_EQ(Early->CreateTextMessage(std::string("caf\xC3\xA9 \xC3"))->GetText(), u"caf\u00E9 \uFFFD");
  EXPECT_EQ(Early->CreateTextMessage(std::u16string(u"caf\u00E9"))->GetText(), u"caf\u00E9");
  EXPECT_THROW(Early->Rollback(), EIllegalStateException);
  EXPECT_THROW(Early->CreateConsumer(std::make_shared<TVQDestination>()), EInvalidDestinationException);

  Connection->Stop();
  EXPECT_THROW(Early->CreateTextMessage(), EIllegalStateException);
  EXPECT_THROW(Early->CreateTextMessage(std::string("x")), EIllegalStateException);
  EXPECT_THROW(Early->CreateTextMessage(std::u16string(u"x")), EIllegalStateException);
  EXPECT_THROW(Early->CreateProducer(nullptr), EIllegalStateException);
  Connection->Close();
  ASSERT_TRUE(Peer.WaitForClientClose());
  EXPECT_EQ(Commands(SplitFrames(Peer.Received())), (std::vector<std::string>{"CONNECT", "DISCONNECT"}))
      << "no frame for the refused destination, none for stopping, none for the second close";
  EXPECT_EQ(Peer.Received().find("client-1"), std::string::npos);
}

TEST(VQJMSConnection, OptionsObjectSetsBrokerCredentialsTimeOutsAndLimits) {
  TScriptedPeer Peer;
  TVQConnectionOptions Options;
  Options.Host = "127.0.0.1";
  Options.Port = Peer.Port();
  Options.Username = "user-1";
  Options.Password = "secret";
  Options.ConnectTimeout = std::chrono::milliseconds(300);
  Options.MaxFrameSize = 64;
  const auto Connection = TVQJMSConnection::CreateConnection(Options);
  // The peer never answers CONNECT: only the options' time-out ends the wait.
  const std::string Error = ErrorOf<EIdTimeout>([&] { Connection->Start(); });
  EXPECT_NE(Error.find("300"), std::string::npos) << Error;
  EXPECT_EQ(Commands(SplitFrames(Peer.Received())), std::vector<std::string>{"CONNECT"});
  const auto Connect = SplitFrames(Peer.Received()).at(0);
  EXPECT_EQ(Connect->GetHeader("login"), "user-1");
  EXPECT_EQ(Connect->GetHeader("passcode"), "secret");
  EXPECT_EQ(Connection->GetClient().GetHost(), "127.0.0.1");
  EXPECT_EQ(Connection->GetClient().GetMaxFrameSize(), 64u);
}

TEST(VQJMSConnection, Utf8TextAndChronoTimeOuts) {
  TPeerConnection Peer;
  const auto Session = Peer.Connection->CreateSession(false, AckModeAuto);
  const auto Queue = Session->CreateQueue("/queue/a");
  const auto Consumer = Session->CreateConsumer(Queue);
  Session->CreateProducer(Queue)->Send(Session->CreateTextMessage("caf\xC3\xA9"));
  ASSERT_TRUE(Peer.Peer.WaitForReceived("SEND"));
  EXPECT_EQ(Peer.FramesAfterConnect().back()->GetBody(), "caf\xC3\xA9");

  EXPECT_EQ(Consumer->Receive(std::chrono::milliseconds(20)), nullptr);
  const std::string Subscription = ConsumerIDOf(Consumer);
  Peer.Peer.Send(MessageFrame(Subscription, "late"));
  const auto Message = Consumer->Receive(std::chrono::seconds(10));
  ASSERT_NE(Message, nullptr);
  EXPECT_EQ(std::dynamic_pointer_cast<ITextMessage>(Message)->GetTextUtf8(), "late");
}

TEST(VQJMSConnection, ReleasedOwnersAreReportedNotTouched) {
  auto Peer = std::make_unique<TPeerConnection>();
  auto Session = Peer->Connection->CreateSession(false, 3);
  auto Producer = Session->CreateProducer(Session->CreateQueue("/queue/a"));
  auto Consumer = Session->CreateConsumer(Session->CreateQueue("/queue/a"));
  auto Message = Session->CreateTextMessage(u"x");
  Peer->Connection->Close();
  Peer.reset();
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { Producer->Send(Message); }),
            "The connection of this session has been released");
  EXPECT_THROW(Consumer->Receive(10), EIllegalStateException);
  EXPECT_THROW(Session->Commit(), EIllegalStateException);

  auto Other = std::make_unique<TPeerConnection>();
  auto Orphan = Other->Connection->CreateSession(false, 3)->CreateProducer(nullptr);
  Other->Connection->Close();
  Other.reset();
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { Orphan->Send(std::make_shared<TVQQueue>("/queue/a"), Message); }),
            "The session of this producer has been released");
}


// Each consumer gets exactly its own messages, in order, whichever thread reads them:
// two polling consumers in one session and a listener in another.
TEST(VQJMSConnection, EveryConsumerGetsItsOwnMessages) {
  TPeerConnection Peer;
  auto Polling = Peer.Connection->CreateSession(false, AckModeAuto);
  auto Listening = Peer.Connection->CreateSession(false, AckModeAuto);
  const auto First = Polling->CreateConsumer(Polling->CreateQueue("/queue/first"));
  const auto Second = Polling->CreateConsumer(Polling->CreateQueue("/queue/second"));
  const auto Heard = Listening->CreateConsumer(Listening->CreateQueue("/queue/heard"));

  // Read by a Receive: the other consumer's messages wait for it.
  Peer.Peer.Send(MessageFrame(ConsumerIDOf(Second), "s1") + MessageFrame(ConsumerIDOf(First), "f1") +
                 MessageFrame(ConsumerIDOf(Heard), "h1") + MessageFrame(ConsumerIDOf(Second), "s2"));
  EXPECT_EQ(BodiesOf(*First, 1), (std::vector<std::string>{"f1"}));
  EXPECT_EQ(BodiesOf(*Second, 2), (std::vector<std::string>{"s1", "s2"}));

  // Held messages go to a new listener first; the read thread then serves it, while the
  // polling consumers wait for what it reads for them.
  auto Listener = std::make_shared<TRecordingListener>();
  Heard->SetMessageListener(Listener);
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { Heard->Receive(10); }),
            "Receive is not possible on a consumer with a message listener");
  Peer.Peer.Send(MessageFrame(ConsumerIDOf(Heard), "h2") + MessageFrame(ConsumerIDOf(First), "f2") +
                 UnsubscribedFrame("/queue/second", "s3") + UnsubscribedFrame("/queue/nowhere", "lost") +
                 MessageFrame(ConsumerIDOf(Heard), "h3"));
  EXPECT_EQ(BodiesOf(*Second, 1), (std::vector<std::string>{"s3"})) << "no subscription: the one consumer of its destination";
  EXPECT_EQ(BodiesOf(*First, 1), (std::vector<std::string>{"f2"}));
  ASSERT_TRUE(WaitUntil([&] { return Listener->Count() == 3; }));
  EXPECT_EQ(Listener->Texts(), (std::vector<std::string>{"h1", "h2", "h3"}));
  EXPECT_TRUE(Peer.Log.Contains("2 Found no Matching Consumer for message id-lost"));

  // Closing the listening session stops the read thread; polling reads on again.
  Listening->Close();
  Peer.Peer.Send(MessageFrame(ConsumerIDOf(First), "f3"));
  EXPECT_EQ(BodiesOf(*First, 1), (std::vector<std::string>{"f3"}));
  EXPECT_EQ(First->Receive(50), nullptr);
}

TEST(VQJMSConnection, ClosingOneSessionLeavesAnotherSessionsListenerReceiving) {
  TPeerConnection Peer;
  auto Closing = Peer.Connection->CreateSession(false, AckModeAuto);
  auto Staying = Peer.Connection->CreateSession(false, AckModeAuto);
  auto Gone = std::make_shared<TRecordingListener>();
  auto Kept = std::make_shared<TRecordingListener>("refuse");
  Closing->CreateConsumer(Closing->CreateQueue("/queue/gone"))->SetMessageListener(Gone);
  const auto Consumer = Staying->CreateConsumer(Staying->CreateQueue("/queue/kept"));
  Consumer->SetMessageListener(Kept);
  Closing->Close();
  Peer.Peer.Send(MessageFrame(ConsumerIDOf(Consumer), "refuse") + MessageFrame(ConsumerIDOf(Consumer), "after"));
  ASSERT_TRUE(WaitUntil([&] { return Kept->Count() == 1; }));
  EXPECT_EQ(Kept->Texts(), (std::vector<std::string>{"after"}));
  EXPECT_TRUE(Peer.Log.Contains("3 Message listener failed: listener refused refuse"));
}

// A loss is reported once, on the thread that met it, and every later call raises at
// once; an ERROR frame is reported with its message and body; a clean close reports
// and logs nothing.
TEST(VQJMSConnection, ExceptionListenerHearsOfLossAndErrors) {
  for (const bool Listening : {true, false}) {
    for (const bool Reset : {false, true}) {
      SCOPED_TRACE(std::string(Listening ? "listener" : "Receive") + (Reset ? ", reset" : ", closed"));
      TPeerConnection Peer;
      auto Faults = std::make_shared<TRecordingExceptionListener>();
      Peer.Connection->SetExceptionListener(Faults);
      auto Session = Peer.Connection->CreateSession(false, AckModeClient);
      const auto Consumer = Session->CreateConsumer(Session->CreateQueue("/queue/a"));
      auto Listener = std::make_shared<TRecordingListener>();
      if (Listening) Consumer->SetMessageListener(Listener);
      Peer.Peer.Send("ERROR\nmessage:queue refused\n\nno such queue\0\n"s + MessageFrame(ConsumerIDOf(Consumer), "m"));
      std::shared_ptr<IMessage> Message;
      if (Listening)
        ASSERT_TRUE(WaitUntil([&] { return Listener->Count() == 1; }));
      else
        Message = Consumer->Receive(5000);
      // Unread bytes would turn the peer's close into a reset.
      ASSERT_TRUE(Peer.Peer.WaitForReceived("SUBSCRIBE"));
      Reset ? Peer.Peer.Reset() : Peer.Peer.Close();
      if (!Listening) {
        EXPECT_THROW(Consumer->Receive(5000), EVQCommError);
      }
      ASSERT_TRUE(WaitUntil([&] { return Faults->Errors().size() == 2; }));
      const auto Errors = Faults->Errors();
      EXPECT_EQ(Errors[0], "queue refused");
      EXPECT_EQ(Errors[1].find(Reset ? "Socket Error # " : "Connection Closed Gracefully."), 0u) << Errors[1];

      auto Producer = Session->CreateProducer(Session->CreateQueue("/queue/a"));
      EXPECT_THROW(Producer->Send(Session->CreateTextMessage(u"x")), EVQStompConnectionLostError);
      Consumer->SetMessageListener(nullptr);
      EXPECT_THROW(Consumer->Receive(0), EVQStompConnectionLostError);
      if (Message) {
        EXPECT_THROW(Message->Acknowledge(), EVQStompConnectionLostError);
      }
      EXPECT_NO_THROW(Session->Close());
      EXPECT_NO_THROW(Peer.Connection->Close());
      EXPECT_EQ(Faults->Errors().size(), 2u) << "reported once";
    }
  }
  TPeerConnection Clean;
  auto Faults = std::make_shared<TRecordingExceptionListener>();
  Clean.Connection->SetExceptionListener(Faults);
  auto Session = Clean.Connection->CreateSession(false, AckModeAuto);
  Session->CreateConsumer(Session->CreateQueue("/queue/a"))->SetMessageListener(std::make_shared<TRecordingListener>());
  Clean.Peer.SetAutoConnected(false);
  Clean.Connection->Close();
  Clean.Peer.Close();
  EXPECT_TRUE(Faults->Errors().empty());
  EXPECT_TRUE(Clean.Log.Lines().empty()) << Clean.Log.Lines().front();
}

namespace {

// A started connection to the test broker with one session.
struct TBrokerSession {
  TBrokerSession(const TBrokerAddress& Broker, uint8_t Mode)
      : Connection(TVQJMSConnection::CreateConnection("", "", Broker.Host, Broker.Port)) {
    Log.Attach(*Connection->GetClient().GetLogger());
    Connection->Start();
    Session = Connection->CreateSession(Mode == AckModeTransacted, Mode);
  }
  ~TBrokerSession() {
    if (Connection->GetClient().IsConnected()) Connection->Close();
  }

  std::shared_ptr<TVQJMSConnection> Connection;
  TLogRecorder Log;
  std::shared_ptr<ISession> Session;
};

// Numbered bodies: Prefix1 to PrefixCount.
std::vector<std::string> Numbered(const std::string& Prefix, int Count) {
  std::vector<std::string> Bodies;
  for (int I = 1; I <= Count; ++I) Bodies.push_back(Prefix + std::to_string(I));
  return Bodies;
}

void SendTexts(ISession& Session, IMessageProducer& Producer, const std::vector<std::string>& Bodies) {
  for (const auto& Body : Bodies) Producer.Send(Session.CreateTextMessage(Utf8ToUtf16(Body)));
}

std::string UniqueQueue(const std::string& Purpose) { return "/queue/vqstomp-" + Purpose + "-" + NewGuidText(); }

}  // namespace

TEST(VQJMSConnectionBroker, RoundTripsOfTextAndBytes) {
  VQ_REQUIRE_BROKER(Broker);
  TBrokerSession Client(Broker, 3);
  auto Queue = Client.Session->CreateQueue(UniqueQueue("roundtrip"));
  auto Consumer = Client.Session->CreateConsumer(Queue);
  auto Producer = Client.Session->CreateProducer(Queue);
  Producer->Send(Client.Session->CreateTextMessage(u"gr\u00fc\u00df dich"));
  auto Bytes = Client.Session->CreateBytesMessage();
  Bytes->SetContent("\0\1\2 binary \n\0"s);
  Producer->Send(Bytes);

  EXPECT_EQ(BodyOf(Consumer->Receive(10000)), "gr\xC3\xBC\xC3\x9F dich");
  auto BytesBack = std::dynamic_pointer_cast<IBytesMessage>(Consumer->Receive(10000));
  ASSERT_NE(BytesBack, nullptr);
  EXPECT_EQ(BytesBack->GetContent(), Bytes->GetContent());
  EXPECT_EQ(Consumer->Receive(500), nullptr);
}

TEST(VQJMSConnectionBroker, ClientAcknowledgement) {
  VQ_REQUIRE_BROKER(Broker);
  const std::string Name = UniqueQueue("ack");
  {
    TBrokerSession Sender(Broker, 3);
    auto Producer = Sender.Session->CreateProducer(Sender.Session->CreateQueue(Name));
    for (const char16_t* Text : {u"one", u"two", u"three"}) Producer->Send(Sender.Session->CreateTextMessage(Text));
  }
  {
    TBrokerSession Receiver(Broker, AckModeClient);
    auto Consumer = Receiver.Session->CreateConsumer(Receiver.Session->CreateQueue(Name));
    std::vector<std::shared_ptr<IMessage>> Received;
    for (int I = 0; I < 3; ++I) Received.push_back(Consumer->Receive(10000));
    ASSERT_EQ(BodyOf(Received[2]), "three");
    // Acknowledgement is cumulative at the broker: "two" covers "one" too.
    Received[1]->Acknowledge();
  }
  TBrokerSession Again(Broker, AckModeClient);
  auto Consumer = Again.Session->CreateConsumer(Again.Session->CreateQueue(Name));
  EXPECT_EQ(BodyOf(Consumer->Receive(10000)), "three");
  EXPECT_EQ(Consumer->Receive(1000), nullptr);
}

TEST(VQJMSConnectionBroker, TransactedSendsArriveOnlyWhenCommitted) {
  VQ_REQUIRE_BROKER(Broker);
  TBrokerSession Client(Broker, AckModeTransacted);
  TBrokerSession Observer(Broker, 3);
  const std::string Name = UniqueQueue("tx");
  auto Producer = Client.Session->CreateProducer(Client.Session->CreateQueue(Name));
  auto Consumer = Observer.Session->CreateConsumer(Observer.Session->CreateQueue(Name));
  Producer->Send(Client.Session->CreateTextMessage(u"rolled back"));
  Client.Session->Rollback();
  Producer->Send(Client.Session->CreateTextMessage(u"committed 1"));
  Producer->Send(Client.Session->CreateTextMessage(u"committed 2"));
  EXPECT_EQ(Consumer->Receive(1000), nullptr) << "nothing before the commit";
  Client.Session->Commit();
  EXPECT_EQ(BodyOf(Consumer->Receive(10000)), "committed 1");
  EXPECT_EQ(BodyOf(Consumer->Receive(10000)), "committed 2");
  EXPECT_EQ(Consumer->Receive(1000), nullptr);
}

TEST(VQJMSConnectionBroker, ListenerTakesEveryMessageOnceInOrderWhileTheApplicationSends) {
  VQ_REQUIRE_BROKER(Broker);
  constexpr int Count = 10000;
  TBrokerSession Client(Broker, 3);
  auto Queue = Client.Session->CreateQueue(UniqueQueue("listener"));
  auto Listener = std::make_shared<TRecordingListener>();
  Client.Session->CreateConsumer(Queue)->SetMessageListener(Listener);
  SendTexts(*Client.Session, *Client.Session->CreateProducer(Queue), Numbered("m", Count));
  ASSERT_TRUE(WaitUntil([&] { return Listener->Count() >= Count; }, std::chrono::seconds(120)));
  EXPECT_EQ(Listener->Texts(), Numbered("m", Count));
  EXPECT_TRUE(Client.Log.Lines().empty()) << Client.Log.Lines().front();
}

// Threads at work together on one connection: the read thread for a listener, the test's
// thread polling another consumer, and a thread that sends to both. The sender keeps at
// most a window of messages ahead of the consumers: a broker that has to hold many for one
// connection that also sends can stop serving it (ActiveMQ blocked its dispatch that way
// here, once in some ten runs).
TEST(VQJMSConnectionBroker, ListenerAndPollingConsumerShareAConnectionWithASendingThread) {
  VQ_REQUIRE_BROKER(Broker);
  constexpr int Count = 10000;
  constexpr int Window = 200;
  TBrokerSession Client(Broker, AckModeAuto);
  auto Heard = Client.Session->CreateQueue(UniqueQueue("heard"));
  auto Polled = Client.Session->CreateQueue(UniqueQueue("polled"));
  auto Listener = std::make_shared<TRecordingListener>();
  Client.Session->CreateConsumer(Heard)->SetMessageListener(Listener);
  const auto Poller = Client.Session->CreateConsumer(Polled);
  std::atomic<int> PolledCount{0};
  std::thread Sender([&] {
    auto Sending = Client.Connection->CreateSession(false, AckModeAuto);
    auto ToHeard = Sending->CreateProducer(Heard);
    auto ToPolled = Sending->CreateProducer(Polled);
    for (int I = 1; I <= Count; ++I) {
      if (!WaitUntil([&] { return I - std::min<int>(PolledCount, static_cast<int>(Listener->Count())) <= Window; },
                     std::chrono::seconds(60)))
        return;
      ToHeard->Send(Sending->CreateTextMessage(Utf8ToUtf16("h" + std::to_string(I))));
      ToPolled->Send(Sending->CreateTextMessage(Utf8ToUtf16("p" + std::to_string(I))));
    }
  });
  std::vector<std::string> PolledBodies;
  for (int I = 0; I < Count; ++I) {
    const auto Message = Poller->Receive(60000);
    if (!Message) break;
    PolledBodies.push_back(BodyOf(Message));
    PolledCount = I + 1;
  }
  Sender.join();
  EXPECT_EQ(PolledBodies, Numbered("p", Count));
  ASSERT_TRUE(WaitUntil([&] { return Listener->Count() >= Count; }, std::chrono::seconds(120)));
  EXPECT_EQ(Listener->Texts(), Numbered("h", Count));
  EXPECT_TRUE(Client.Log.Lines().empty()) << Client.Log.Lines().front();
}

TEST(VQJMSConnectionBroker, TwoConsumersGetExactlyTheirOwnMessagesInOrder) {
  VQ_REQUIRE_BROKER(Broker);
  constexpr int Count = 1000;
  for (const bool TwoSessions : {false, true}) {
    SCOPED_TRACE(TwoSessions ? "two sessions" : "one session");
    TBrokerSession Client(Broker, AckModeAuto);
    auto Other = TwoSessions ? Client.Connection->CreateSession(false, AckModeAuto) : Client.Session;
    auto QueueA = Client.Session->CreateQueue(UniqueQueue("a"));
    auto QueueB = Other->CreateQueue(UniqueQueue("b"));
    const auto A = Client.Session->CreateConsumer(QueueA);
    const auto B = Other->CreateConsumer(QueueB);
    auto ToA = Client.Session->CreateProducer(QueueA);
    auto ToB = Client.Session->CreateProducer(QueueB);
    for (int I = 1; I <= Count; ++I) {
      SendTexts(*Client.Session, *ToA, {"a" + std::to_string(I)});
      SendTexts(*Client.Session, *ToB, {"b" + std::to_string(I)});
    }
    // One consumer drained first holds the other's messages meanwhile; or turn by turn.
    std::vector<std::string> FromA, FromB;
    if (TwoSessions) {
      for (int I = 0; I < Count; ++I) {
        for (const auto& Body : BodiesOf(*B, 1)) FromB.push_back(Body);
        for (const auto& Body : BodiesOf(*A, 1)) FromA.push_back(Body);
      }
    } else {
      FromA = BodiesOf(*A, Count);
      FromB = BodiesOf(*B, Count);
    }
    EXPECT_EQ(FromA, Numbered("a", Count));
    EXPECT_EQ(FromB, Numbered("b", Count));
    EXPECT_EQ(A->Receive(200), nullptr);
    EXPECT_EQ(B->Receive(200), nullptr);
  }
}

TEST(VQJMSConnectionBroker, ClosingOneSessionLeavesAnotherSessionsListenerReceiving) {
  VQ_REQUIRE_BROKER(Broker);
  TBrokerSession Client(Broker, AckModeAuto);
  auto Closing = Client.Connection->CreateSession(false, AckModeAuto);
  auto Queue = Client.Session->CreateQueue(UniqueQueue("kept"));
  auto Listener = std::make_shared<TRecordingListener>();
  Client.Session->CreateConsumer(Queue)->SetMessageListener(Listener);
  Closing->CreateConsumer(Closing->CreateQueue(UniqueQueue("closing")))
      ->SetMessageListener(std::make_shared<TRecordingListener>());
  Closing->Close();
  SendTexts(*Client.Session, *Client.Session->CreateProducer(Queue), Numbered("k", 100));
  ASSERT_TRUE(WaitUntil([&] { return Listener->Count() >= 100; }, std::chrono::seconds(60)));
  EXPECT_EQ(Listener->Texts(), Numbered("k", 100));
}

TEST(VQJMSConnectionBroker, ListenerProgramWithStandardOutputClosedGetsEveryMessage) {
  VQ_REQUIRE_BROKER(Broker);
  const TRun Run = RunProgram({VQSTOMP_LISTENER_PROGRAM, Broker.Host, std::to_string(Broker.Port), "2000"},
                              {.CloseStdout = true, .Limit = std::chrono::seconds(120)});
  EXPECT_EQ(Run.ExitCode, 0) << Run.Err;
  EXPECT_NE(Run.Err.find("received 2000 of 2000 in order"), std::string::npos) << Run.Err;
}

// Properties of each kind, between this library and stomp.py, both ways; a received
// message sent on again keeps the application's headers and none of the broker's.
TEST(VQJMSConnectionBroker, PropertiesTravelBothWaysWithAnotherClient) {
  VQ_REQUIRE_BROKER(Broker);
  TBrokerSession Client(Broker, AckModeAuto);
  const auto StompPy = [&](const std::vector<std::string>& Arguments) {
    std::vector<std::string> Command{"/usr/bin/python3", VQSTOMP_STOMP_PY_PEER};
    Command.insert(Command.end(), Arguments.begin(), Arguments.end());
    return RunProgram(Command, {.Limit = std::chrono::seconds(60)});
  };
  const std::string Port = std::to_string(Broker.Port);

  const std::string Outgoing = UniqueQueue("to-stomp-py");
  auto Message = Client.Session->CreateTextMessage(u"from vqstomp");
  const auto Properties = Message->GetProperties();
  Properties->SetString("str-prop", "text value");
  Properties->SetInt("int-prop", -42);
  Properties->SetLong("long-prop", 9007199254740993);
  Properties->SetDouble("double-prop", 0.1);
  Properties->SetBoolean("bool-prop", true);
  Message->SetJMSCorrelationID("corr-1");
  Client.Session->CreateProducer(Client.Session->CreateQueue(Outgoing))->Send(Message);
  const TRun Received = StompPy({"receive", Broker.Host, Port, Outgoing, "20"});
  ASSERT_EQ(Received.ExitCode, 0) << Received.Err;
  for (const char* Line : {"str-prop=text value", "int-prop=-42", "long-prop=9007199254740993", "double-prop=0.1",
                           "bool-prop=true", "correlation-id=corr-1", "body=from vqstomp"})
    EXPECT_NE(Received.Out.find(std::string(Line) + "\n"), std::string::npos) << Line << " in\n" << Received.Out;

  const std::string Incoming = UniqueQueue("from-stomp-py");
  const auto Consumer = Client.Session->CreateConsumer(Client.Session->CreateQueue(Incoming));
  const TRun Sent = StompPy({"send", Broker.Host, Port, Incoming});
  ASSERT_EQ(Sent.ExitCode, 0) << Sent.Err;
  const auto Back = Consumer->Receive(20000);
  ASSERT_NE(Back, nullptr);
  EXPECT_EQ(BodyOf(Back), "from stomp.py");
  const auto Typed = Back->GetProperties();
  EXPECT_EQ(Typed->GetString("str-prop"), "text value");
  EXPECT_EQ(Typed->GetInt("int-prop"), 42);
  EXPECT_EQ(Typed->GetLong("long-prop"), 9007199254740993);
  EXPECT_EQ(Typed->GetDouble("double-prop"), 0.1);
  EXPECT_TRUE(Typed->GetBoolean("bool-prop"));

  auto Forwarded = Client.Session->CreateQueue(UniqueQueue("forwarded"));
  const auto Forward = Client.Session->CreateConsumer(Forwarded);
  Client.Session->CreateProducer(Forwarded)->Send(Back);
  const auto Again = Forward->Receive(20000);
  ASSERT_NE(Again, nullptr);
  EXPECT_EQ(Again->GetProperties()->GetLong("long-prop"), 9007199254740993);
  EXPECT_EQ(Again->GetProperties()->GetString("destination"), Forwarded->GetQueueName());
  EXPECT_NE(Again->GetJMSMessageID(), Back->GetJMSMessageID());
}

TEST(VQJMSConnectionBroker, ClosedConnectionRefusesToStart) {
  VQ_REQUIRE_BROKER(Broker);
  TBrokerSession Client(Broker, 3);
  Client.Connection->Close();
  EXPECT_EQ(ErrorOf<Exception>([&] { Client.Connection->Start(); }), "Connection is closed");
}
