#include "VQJMSConnection.h"

#include <gtest/gtest.h>

#include "JMSTestSupport.h"
#include "TestSupport.h"
#include "VQDestination.h"
#include "VQGuid.h"
#include "VQMessageConsumer.h"
#include "VQQueue.h"
#include "VQUnicode.h"

using namespace vq;
using namespace vq::test;
using namespace std::string_literals;

namespace {

std::string ConsumerIDOf(const std::shared_ptr<IMessageConsumer>& Consumer) {
  return std::dynamic_pointer_cast<IConsumerIdentity>(Consumer)->GetConsumerID().ConsumerID;
}

std::string MessageFrame(const std::string& Subscription, const std::string& Body) {
  return "MESSAGE\nmessage-id:id-" + Body + "\nsubscription:" + Subscription + "\n\n" + Body + "\0\n"s;
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
  Session->Close();
  Session->Close();
  Peer.Connection->Close();
  Peer.Connection->Close();
  ASSERT_TRUE(Peer.Peer.WaitForClientClose());

  const auto Frames = Peer.FramesAfterConnect();
  EXPECT_EQ(Commands(Frames), (std::vector<std::string>{"BEGIN", "SUBSCRIBE", "SUBSCRIBE", "COMMIT", "BEGIN", "ABORT",
                                                        "BEGIN", "ABORT", "BEGIN", "UNSUBSCRIBE", "UNSUBSCRIBE",
                                                        "DISCONNECT"}));
  const std::string Transaction = Frames[0]->GetHeader("transaction");
  EXPECT_EQ(Transaction.size(), 38u);
  for (size_t Index : {0, 3, 4, 5, 6, 7, 8}) EXPECT_EQ(Frames[Index]->GetHeader("transaction"), Transaction);
  EXPECT_EQ(Frames[1]->GetHeaders(), (TStompHeaders{{"destination", "/queue/a"}, {"ack", "auto"}, {"id", ConsumerIDOf(First)}}));
  EXPECT_EQ(Frames[2]->GetHeader("destination"), "/topic/b");
  EXPECT_EQ(Frames[9]->GetHeaders(), (TStompHeaders{{"id", ConsumerIDOf(First)}}));
  EXPECT_EQ(Frames[10]->GetHeader("id"), ConsumerIDOf(Second));
}

TEST(VQJMSConnection, AcknowledgeModesAndProducerStamping) {
  TPeerConnection Peer;
  for (uint8_t Mode : {0, 2, 3}) {
    auto Session = Peer.Connection->CreateSession(Mode != 0, Mode);
    EXPECT_FALSE(Session->GetTransacted());
    Session->CreateConsumer(Session->CreateQueue("/queue/m" + std::to_string(Mode)));
  }
  auto Plain = Peer.Connection->CreateSession(false, 3);
  auto Transacted = Peer.Connection->CreateSession(false, AckModeTransacted);
  auto Message = Plain->CreateTextMessage(u"hello");
  auto Later = Plain->CreateTextMessage(u"after stop");
  auto Producer = Plain->CreateProducer(Plain->CreateQueue("/queue/p"));
  Producer->SetDeliveryMode(2);
  Producer->SetPriority(9);
  Producer->SetTimeToLive(1000);
  EXPECT_EQ(Producer->GetPriority(), 9);
  Producer->Send(Message);
  auto Stamping = Transacted->CreateProducer(nullptr);
  EXPECT_EQ(ErrorOf<Exception>([&] { Stamping->Send(Message); }), "No Destination");
  EXPECT_EQ(ErrorOf<Exception>([&] { Stamping->Send(std::make_shared<TVQDestination>(), Message); }), "...");
  Stamping->Send(Transacted->CreateQueue("/queue/t"), Message);
  Stamping->Send(Transacted->CreateQueue("/queue/t"), Message);
  Plain->Stop();
  Producer->Send(Later);
  Peer.Connection->Close();
  ASSERT_TRUE(Peer.Peer.WaitForClientClose());

  const auto Frames = Peer.FramesAfterConnect();
  ASSERT_EQ(Commands(Frames), (std::vector<std::string>{"SUBSCRIBE", "SUBSCRIBE", "SUBSCRIBE", "BEGIN", "SEND", "SEND",
                                                        "SEND", "SEND", "DISCONNECT"}));
  EXPECT_EQ(Frames[0]->GetHeader("ack"), "client");
  EXPECT_EQ(Frames[1]->GetHeader("ack"), "auto");
  EXPECT_EQ(Frames[2]->GetHeader("ack"), "auto");
  EXPECT_EQ(Frames[4]->GetHeaders(), (TStompHeaders{{"destination", "/queue/p"}})) << "settings change nothing";
  const std::string Transaction = Frames[3]->GetHeader("transaction");
  EXPECT_EQ(Frames[5]->GetHeader("transaction"), Transaction);
  EXPECT_EQ(Frames[6]->GetHeader("transaction"), Transaction) << "the same message sent twice";
  EXPECT_EQ(Frames[7]->GetBody(), "after stop");
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
  EXPECT_THROW(Early->Commit(), EAssertionFailed);
  EXPECT_THROW(Early->Rollback(), EAssertionFailed);
  EXPECT_EQ(ErrorOf<Exception>([&] { Early->CreateConsumer(std::make_shared<TVQDestination>()); }), "GetDestinationName");

  Connection->Stop();
  EXPECT_THROW(Early->CreateTextMessage(), EIllegalStateException);
  EXPECT_THROW(Early->CreateProducer(nullptr), EIllegalStateException);
  Connection->Close();
  ASSERT_TRUE(Peer.WaitForClientClose());
  EXPECT_EQ(Commands(SplitFrames(Peer.Received())), (std::vector<std::string>{"CONNECT", "DISCONNECT"}))
      << "no frame for the refused destination, none for stopping, none for the second close";
  EXPECT_EQ(Peer.Received().find("client-1"), std::string::npos);
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

TEST(VQJMSConnection, ListenersAcrossSessions) {
  TPeerConnection Peer;
  auto First = Peer.Connection->CreateSession(false, 3);
  auto Second = Peer.Connection->CreateSession(false, 3);
  auto Polled = First->CreateConsumer(First->CreateQueue("/queue/polled"));
  auto FirstListener = std::make_shared<TRecordingListener>();
  auto SecondListener = std::make_shared<TRecordingListener>("refuse");
  auto FirstConsumer = First->CreateConsumer(First->CreateQueue("/queue/one"));
  auto SecondConsumer = Second->CreateConsumer(Second->CreateQueue("/queue/two"));
  FirstConsumer->SetMessageListener(FirstListener);
  SecondConsumer->SetMessageListener(SecondListener);
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { Polled->Receive(10); }),
            "Receive is not possible while a message listener is active on this connection");

  Peer.Peer.Send(MessageFrame(ConsumerIDOf(SecondConsumer), "to-second") +
                 MessageFrame(ConsumerIDOf(FirstConsumer), "to-first") + MessageFrame("{nobody}", "lost") +
                 MessageFrame(ConsumerIDOf(SecondConsumer), "refuse") +
                 MessageFrame(ConsumerIDOf(SecondConsumer), "after-refusal"));
  ASSERT_TRUE(WaitUntil([&] { return SecondListener->Count() == 2; }));
  EXPECT_EQ(FirstListener->Texts(), (std::vector<std::string>{"to-first"}));
  EXPECT_EQ(SecondListener->Texts(), (std::vector<std::string>{"to-second", "after-refusal"}));
  EXPECT_TRUE(Peer.Log.Contains("2 Found no Matching Consumer for message id-lost"));
  EXPECT_TRUE(Peer.Log.Contains("3 Message listener failed: listener refused refuse"));
  EXPECT_FALSE(Peer.Log.Contains("TVQCommAdapterIndy")) << "background receiving went on";

  // Closing the sessions stops the read thread, so polling works again.
  First->Close();
  Second->Close();
  Peer.Peer.Send(MessageFrame(ConsumerIDOf(Polled), "polled"));
  const auto Polled1 = Polled->Receive(5000);
  ASSERT_NE(Polled1, nullptr);
  EXPECT_EQ(Polled1->GetJMSMessageID(), "id-polled");
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

std::string TextOf(const std::shared_ptr<IMessage>& Message) {
  auto Text = std::dynamic_pointer_cast<ITextMessage>(Message);
  return Text ? Utf16ToUtf8(Text->GetText()) : "<not a text message>";
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

  EXPECT_EQ(TextOf(Consumer->Receive(10000)), "gr\xC3\xBC\xC3\x9F dich");
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
    ASSERT_EQ(TextOf(Received[2]), "three");
    // Acknowledgement is cumulative at the broker: "two" covers "one" too.
    Receiver.Connection->GetClient().Ack(Received[1]->GetJMSMessageID(), "");
  }
  TBrokerSession Again(Broker, AckModeClient);
  auto Consumer = Again.Session->CreateConsumer(Again.Session->CreateQueue(Name));
  EXPECT_EQ(TextOf(Consumer->Receive(10000)), "three");
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
  EXPECT_EQ(TextOf(Consumer->Receive(10000)), "committed 1");
  EXPECT_EQ(TextOf(Consumer->Receive(10000)), "committed 2");
  EXPECT_EQ(Consumer->Receive(1000), nullptr);
}

TEST(VQJMSConnectionBroker, ListenerTakesEveryMessageOnceInOrderWhileTheApplicationSends) {
  VQ_REQUIRE_BROKER(Broker);
  constexpr int Count = 10000;
  TBrokerSession Client(Broker, 3);
  auto Queue = Client.Session->CreateQueue(UniqueQueue("listener"));
  auto Listener = std::make_shared<TRecordingListener>();
  Client.Session->CreateConsumer(Queue)->SetMessageListener(Listener);
  auto Producer = Client.Session->CreateProducer(Queue);
  const auto Numbered = [](int I) {
    std::string Text = "m";
    return Text.append(std::to_string(I));
  };
  for (int I = 1; I <= Count; ++I) Producer->Send(Client.Session->CreateTextMessage(Utf8ToUtf16(Numbered(I))));

  ASSERT_TRUE(WaitUntil([&] { return Listener->Count() >= Count; }, std::chrono::seconds(120)));
  const auto Texts = Listener->Texts();
  ASSERT_EQ(Texts.size(), static_cast<size_t>(Count));
  for (int I = 1; I <= Count; ++I) ASSERT_EQ(Texts[I - 1], Numbered(I));
  EXPECT_TRUE(Client.Log.Lines().empty()) << Client.Log.Lines().front();
}

TEST(VQJMSConnectionBroker, ClosedConnectionRefusesToStart) {
  VQ_REQUIRE_BROKER(Broker);
  TBrokerSession Client(Broker, 3);
  Client.Connection->Close();
  EXPECT_EQ(ErrorOf<Exception>([&] { Client.Connection->Start(); }), "Connection is closed");
}
