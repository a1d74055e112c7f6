#include <vqstomp/VQJMSClient.h>

#include <gtest/gtest.h>

#include <thread>

#include <vqstomp/VQJMSBytesMessage.h>
#include <vqstomp/VQJMSTextMessage.h>

#include "ScriptedPeer.h"
#include "TestSupport.h"
#include "support/VQGuid.h"
#include "support/VQUnicode.h"
#include "transport/VQCommAdapter.h"

using namespace vq;
using namespace std::string_literals;

namespace {

class VQJMSClientPeer : public testing::Test {
protected:
  void SetUp() override {
    Client.GetLogger()->SetConsoleOutput(false);
    Client.GetLogger()->SetOnLog([this](const std::u16string& Msg, TLogLevel Level) {
      std::lock_guard Guard(LogLock);
      Logged.push_back(std::to_string(Level) + " " + Utf16ToUtf8(Msg));
    });
    Client.SetHost("127.0.0.1");
    Client.SetPort(Peer.Port());
    Peer.SetAutoConnected(true);
    Client.Connect();
  }

  std::vector<std::string> LoggedLines() {
    std::lock_guard Guard(LogLock);
    return Logged;
  }

  std::string WrittenAfterConnect() {
    const std::string All = Peer.Received();
    return All.substr(All.find("\0\n"s) + 2);
  }

  vq::test::TScriptedPeer Peer;
  TVQJMSClient Client;
  std::mutex LogLock;
  std::vector<std::string> Logged;
};

// An application's own kind of text message: what it writes is what goes out.
class TStampedText : public TVQJMSTextMessage {
public:
  void WriteToFrame(IStompFrame& Frame) const override {
    TVQJMSTextMessage::WriteToFrame(Frame);
    Frame.SetHeader("stamp", "1");
    Frame.SetBody("stamped " + GetTextUtf8());
  }
};

}  // namespace

TEST_F(VQJMSClientPeer, ContentLengthDecidesTheKindOfMessage) {
  std::vector<std::shared_ptr<IMessage>> Events;
  Client.SetOnMessage([&](TVQJMSClient&, const std::shared_ptr<IMessage>& Message) { Events.push_back(Message); });
  Peer.Send("MESSAGE\nmessage-id:1\n\n\xC3\xA9\0\n"s);
  Peer.Send("MESSAGE\nmessage-id:2\ncontent-length:3\n\na\0b\0\n"s);
  Peer.Send("MESSAGE\nmessage-id:3\ncontent-length:0\n\n\0\n"s);

  const auto Text = std::dynamic_pointer_cast<ITextMessage>(Client.Receive(0));
  ASSERT_NE(Text, nullptr);
  EXPECT_EQ(Text->GetText(), u"\u00e9");
  EXPECT_EQ(Client.GetCurrentMessage(), Text);
  const auto Bytes = std::dynamic_pointer_cast<IBytesMessage>(Client.Receive(0));
  ASSERT_NE(Bytes, nullptr);
  EXPECT_EQ(Bytes->GetContent(), "a\0b"s);
  const auto Empty = std::dynamic_pointer_cast<IBytesMessage>(Client.Receive(0));
  ASSERT_NE(Empty, nullptr);
  EXPECT_EQ(Empty->GetContent(), "");
  ASSERT_EQ(Events.size(), 3u);
  EXPECT_EQ(Events[1], Bytes) << "the event hands on the same message";
}

TEST_F(VQJMSClientPeer, ReceiveReturnsOnlyWhatThisCallRead) {
  Peer.Send("MESSAGE\nmessage-id:first\n\nfirst\0\n"s);
  ASSERT_NE(Client.Receive(0), nullptr);

  // Other frames are processed on the way, and an earlier message is never handed out again.
  Peer.Send("RECEIPT\nreceipt-id:r\n\n\0\n"s);
  EXPECT_EQ(Client.Receive(300), nullptr);

  // Failures of one frame are logged and reading goes on to the message behind them.
  Client.SetOnMessage([](TVQJMSClient&, const std::shared_ptr<IMessage>& Message) {
    if (Message->GetJMSMessageID() == "listener-fails") throw Exception("listener failed");
  });
  Peer.Send("ERROR\nmessage:bad thing\n\n\0\nMESSAGE\nbroken header\n\n\0\nMESSAGE\nmessage-id:listener-fails\n\nx\0\n"s);
  const auto Survivor = Client.Receive(5000);
  ASSERT_NE(Survivor, nullptr);
  EXPECT_EQ(Survivor->GetJMSMessageID(), "listener-fails");
  Peer.Send("MESSAGE\nmessage-id:next\n\ny\0\n"s);
  const auto Next = Client.Receive(5000);
  ASSERT_NE(Next, nullptr);
  EXPECT_EQ(Next->GetJMSMessageID(), "next");
  EXPECT_EQ(LoggedLines(), (std::vector<std::string>{"3 TVQJMSClient: bad thing",
                                                     "3 TVQJMSClient: header line error broken header",
                                                     "3 TVQJMSClient: listener failed"}));
}

TEST_F(VQJMSClientPeer, TimeOutLosesNothingAndTransportFailuresReachTheCaller) {
  EXPECT_EQ(Client.Receive(100), nullptr);
  // A frame that starts before the time-out and ends after it is read whole.
  std::thread Slow([&] {
    Peer.SendChunks({"MESSAGE\nmessage-id:slow\n", "\nslow body", "\0\n"s}, std::chrono::milliseconds(150));
  });
  std::shared_ptr<IMessage> Slowly;
  while (!Slowly) Slowly = Client.Receive(50);
  Slow.join();
  EXPECT_EQ(std::dynamic_pointer_cast<ITextMessage>(Slowly)->GetText(), u"slow body");

  Peer.Close();
  EXPECT_THROW(Client.Receive(0), EVQCommError);
  EXPECT_THROW(Client.Receive(100), EVQStompConnectionLostError) << "a dead connection never looks like an idle one";
}

// Typed properties reach the wire as text headers after the mapped ones; a message with a
// property that cannot be a header writes nothing at all.
TEST_F(VQJMSClientPeer, SendsPropertiesAsHeaders) {
  auto Message = std::make_shared<TVQJMSTextMessage>();
  Message->SetText(u"p");
  Message->SetJMSReplyTo("/queue/r");
  const auto Properties = Message->GetProperties();
  Properties->SetString("s", "text: with colon");
  Properties->SetInt("i", -7);
  Properties->SetLong("l", INT64_MIN);
  Properties->SetDouble("d", 2.5e-300);
  Properties->SetBoolean("b", true);
  Properties->SetByte("y", 200);
  Properties->SetChar("c", 'z');
  Properties->SetString("Reply-To", "/queue/ignored");
  Properties->SetString("message-id", "ID:from-elsewhere");
  Client.SendMessage(Message, "/queue/a", "");
  auto Refused = std::make_shared<TVQJMSTextMessage>();
  Refused->GetProperties()->SetString("good", "1");
  Refused->GetProperties()->SetString("bad", "two\nlines");
  EXPECT_EQ(vq::test::ErrorOf<EMessageFormatException>([&] { Client.SendMessage(Refused, "/queue/a", ""); }),
            "Property \"bad\" cannot be sent: its value holds a line break or NUL byte");
  Client.Disconnect();
  ASSERT_TRUE(Peer.WaitForClientClose());
  EXPECT_EQ(WrittenAfterConnect(),
            "SEND\ndestination:/queue/a\nreply-to:/queue/r\ns:text: with colon\ni:-7\nl:-9223372036854775808\n"
            "d:2.5e-300\nb:true\ny:200\nc:z\n\np\0\nDISCONNECT\n\n\0\n"s);
}

TEST_F(VQJMSClientPeer, SendsTextWithoutAndBytesWithContentLength) {
  auto Text = std::make_shared<TVQJMSTextMessage>();
  Text->SetText(u"caf\u00e9");
  Text->SetJMSCorrelationID("c1");
  Text->SetJMSPriority(7);
  Client.SendMessage(Text, "/queue/a", "");
  auto Bytes = std::make_shared<TVQJMSBytesMessage>();
  Bytes->SetContent("\0\x01\x02\x03\x04"s);
  Bytes->GetProperties()->SetString("transaction", "tx");
  Bytes->GetProperties()->SetString("other", "sent after the mapped headers");
  Client.SendMessage(Bytes, "/topic/b", "r1");
  Client.SendMessage(std::make_shared<TVQJMSMessage>(), "/queue/a", "");
  auto Stamped = std::make_shared<TStampedText>();
  Stamped->SetText(u"t");
  Client.SendMessage(Stamped, "/queue/a", "");
  Client.Disconnect();
  ASSERT_TRUE(Peer.WaitForClientClose());
  EXPECT_EQ(WrittenAfterConnect(),
            "SEND\ndestination:/queue/a\ncorrelation-id:c1\npriority:7\n\ncaf\xC3\xA9\0\n"
            "SEND\ndestination:/topic/b\nreceipt:r1\ncontent-length:5\ntransaction:tx\nother:sent after the mapped headers\n\n"
            "\0\x01\x02\x03\x04\0\n"
            "SEND\ndestination:/queue/a\nstamp:1\n\nstamped t\0\n"
            "DISCONNECT\n\n\0\n"s);
}

TEST(VQJMSClientBroker, MessagesKeepKindBodyAndHeaders) {
  VQ_REQUIRE_BROKER(Broker);
  TVQJMSClient Client;
  Client.SetHost(Broker.Host);
  Client.SetPort(Broker.Port);
  Client.Connect();
  const std::string Queue = "/queue/vqstomp-jmsclient-" + NewGuidText();
  Client.Subscribe(Queue, false, "sub", "");

  auto Text = std::make_shared<TVQJMSTextMessage>();
  Text->SetText(u"text \u00e9 \U0001F600");
  auto Bytes = std::make_shared<TVQJMSBytesMessage>();
  Bytes->SetContent("\0bytes\0\n\0"s);
  for (const std::shared_ptr<IMessage>& Message : {std::shared_ptr<IMessage>(Text), std::shared_ptr<IMessage>(Bytes)}) {
    Message->SetJMSCorrelationID("corr-1");
    Message->SetJMSPersistent(true);
    Message->SetJMSPriority(7);
    Message->SetJMSReplyTo("/queue/replies");
    Client.SendMessage(Message, Queue, "");
  }

  const auto TextBack = std::dynamic_pointer_cast<ITextMessage>(Client.Receive(10000));
  const auto BytesBack = std::dynamic_pointer_cast<IBytesMessage>(Client.Receive(10000));
  ASSERT_NE(TextBack, nullptr);
  ASSERT_NE(BytesBack, nullptr);
  EXPECT_EQ(TextBack->GetText(), Text->GetText());
  EXPECT_EQ(BytesBack->GetContent(), Bytes->GetContent());
  for (const std::shared_ptr<IMessage>& Message : {std::shared_ptr<IMessage>(TextBack), std::shared_ptr<IMessage>(BytesBack)}) {
    EXPECT_EQ(Message->GetJMSCorrelationID(), "corr-1");
    EXPECT_TRUE(Message->GetJMSPersistent());
    EXPECT_EQ(Message->GetJMSPriority(), 7);
    EXPECT_EQ(Message->GetJMSReplyTo(), "/queue/replies");
    EXPECT_EQ(Message->GetJMSExpiration(), 0);
    EXPECT_FALSE(Message->GetJMSMessageID().empty());
    EXPECT_GT(Message->GetJMSTimestamp(), 45000.0) << "a time stamp of this century";
  }
  Client.Disconnect();
}
