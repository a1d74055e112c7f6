#include <vqstomp/VQStompCustomClient.h>

#include <gtest/gtest.h>

#include "ScriptedPeer.h"
#include "TestSupport.h"
#include "transport/VQAdapterRegistry.h"
#include "transport/VQCommAdapter.h"
#include "support/VQGuid.h"
#include "support/VQUnicode.h"

using namespace vq;
using vq::test::ErrorOf;
using namespace std::string_literals;

namespace {

// Exposes the hook for MESSAGE frames so that its order can be observed.
class TRecordingClient : public TVQStompCustomClient {
public:
  std::vector<std::string> Events;

protected:
  void StompFrameAvailable(const std::shared_ptr<IStompFrame>& Frame) override {
    Events.push_back("hook " + Frame->GetBody());
  }
};

class VQStompCustomClientPeer : public testing::Test {
protected:
  void SetUp() override {
    Client.SetCommAdapter(Adapter.get());
    Client.SetHost("127.0.0.1");
    Client.SetPort(Peer.Port());
    Client.GetLogger()->SetConsoleOutput(false);
    Client.GetLogger()->SetOnLog([this](const std::u16string& Msg, TLogLevel Level) {
      Logged.push_back(std::to_string(Level) + " " + Utf16ToUtf8(Msg));
    });
  }

  void ConnectWith(std::string Reply) {
    Peer.SetAutoConnected(true, std::move(Reply));
    Client.Connect();
  }

  // What the client wrote after its CONNECT frame.
  std::string WrittenAfterConnect() {
    const std::string All = Peer.Received();
    return All.substr(All.find("\0\n"s) + 2);
  }

  vq::test::TScriptedPeer Peer;
  std::unique_ptr<TVQCommAdapter> Adapter = CreateDefaultAdapter();
  TRecordingClient Client;
  std::vector<std::string> Logged;
};

}  // namespace

TEST_F(VQStompCustomClientPeer, ConnectWritesCredentialsAndTracksTheSession) {
  Client.SetUsername("user");
  Client.SetPassword("secret");
  ConnectWith(vq::test::TScriptedPeer::DefaultConnectedFrame());
  EXPECT_TRUE(Client.IsConnected());
  EXPECT_EQ(Client.GetSessionID(), "scripted-peer");
  EXPECT_EQ(Peer.Received(), "CONNECT\nlogin:user\npasscode:secret\n\n\0\n"s);

  Client.Disconnect();
  EXPECT_TRUE(Peer.WaitForClientClose());
  EXPECT_EQ(WrittenAfterConnect(), "DISCONNECT\n\n\0\n"s);
  EXPECT_FALSE(Client.IsConnected());
  EXPECT_EQ(Client.GetSessionID(), "");
  EXPECT_EQ(ErrorOf([&] { Client.Disconnect(); }), "Already disconnected");
}

TEST_F(VQStompCustomClientPeer, ExactBytesOfEveryCommand) {
  ConnectWith(vq::test::TScriptedPeer::DefaultConnectedFrame());
  EXPECT_EQ(Peer.Received(), "CONNECT\n\n\0\n"s) << "no empty login or passcode";

  Client.Subscribe("/queue/a", false, "ID1", "");
  Client.Subscribe("/queue/a", true, "", "r1");
  Client.UnsubscribeID("", "");
  Client.UnsubscribeID("ID1", "r2");
  Client.BeginTrans(" tx1", "");
  Client.CommitTrans("tx1", "r3");
  Client.AbortTrans("tx1", "");
  Client.Ack("m1", "");
  Client.Ack("m1", "tx");
  Client.Send("/queue/a", "hello", {}, false, "");
  Client.Send("/queue/a", "hello", {}, true, "r4");
  Client.Send("/queue/a", "", {}, false, "");
  // Extra headers replace in place, and an empty one removes.
  Client.Send("/queue/a", "x", {{"priority", "9"}, {"destination", "/queue/b"}, {"content-length", ""}}, false, "");
  Client.StompDisconnect();

  const std::string Expected =
      "SUBSCRIBE\ndestination:/queue/a\nack:auto\nid:ID1\n\n\0\n"
      "SUBSCRIBE\ndestination:/queue/a\nack:client\nreceipt:r1\n\n\0\n"
      "UNSUBSCRIBE\n\n\0\n"
      "UNSUBSCRIBE\nid:ID1\nreceipt:r2\n\n\0\n"
      "BEGIN\ntransaction: tx1\n\n\0\n"
      "COMMIT\ntransaction:tx1\nreceipt:r3\n\n\0\n"
      "ABORT\ntransaction:tx1\n\n\0\n"
      "ACK\nmessage-id:m1\n\n\0\n"
      "ACK\nmessage-id:m1\ntransaction:tx\n\n\0\n"
      "SEND\ndestination:/queue/a\ncontent-length:5\n\nhello\0\n"
      "SEND\ndestination:/queue/a\nreceipt:r4\n\nhello\0\n"
      "SEND\ndestination:/queue/a\ncontent-length:0\n\n\0\n"
      "SEND\ndestination:/queue/b\npriority:9\n\nx\0\n"
      "DISCONNECT\n\n\0\n"s;
  ASSERT_TRUE(Peer.WaitForReceived("DISCONNECT"));
  EXPECT_EQ(WrittenAfterConnect(), Expected);
}

TEST_F(VQStompCustomClientPeer, RefusalsWriteNothing) {
  // The broker's first frame is not CONNECTED: the socket is open, the client is not connected.
  ConnectWith("RECEIPT\nreceipt-id:early\n\n\0\n"s);
  ASSERT_FALSE(Client.IsConnected());
  EXPECT_EQ(ErrorOf([&] { Client.Subscribe("/queue/a", false, "", ""); }), "Not connected! Command: SUBSCRIBE");
  EXPECT_THROW(Client.Send("/queue/a", "x", {}, true, ""), EVQStompClientNotConnectedError);
  EXPECT_THROW(Client.Ack("m", ""), EVQStompClientNotConnectedError);
  EXPECT_THROW(Client.BeginTrans("tx", ""), EVQStompClientNotConnectedError);
  EXPECT_EQ(ErrorOf([&] { Client.Disconnect(); }), "Already disconnected");

  Client.StompDataAvailable(vq::test::TScriptedPeer::DefaultConnectedFrame());
  ASSERT_TRUE(Client.IsConnected());
  EXPECT_EQ(ErrorOf([&] { Client.BeginTrans(" \t\r\n", ""); }), "Invalid transaction id");
  EXPECT_THROW(Client.CommitTrans("", ""), EVQStompInvalidTranscationIdError);
  EXPECT_THROW(Client.AbortTrans(std::string(3, '\0'), ""), EVQStompInvalidTranscationIdError);

  // Nothing that would forge headers or frames, or lose body bytes, reaches the wire.
  EXPECT_EQ(ErrorOf([&] { Client.Send("/queue/a", "x", {{"correlation-id", "c\nforged:1"}}, true, ""); }),
            "Header \"correlation-id\" cannot be sent: its value holds a line break or NUL byte");
  EXPECT_EQ(ErrorOf([&] { Client.Send("/queue/a", "x", {{"reply\nto", "q"}}, true, ""); }),
            "Header \"reply\\x0Ato\" cannot be sent: its name holds a colon, line break or NUL byte");
  EXPECT_THROW(Client.Send("/queue/a", "x", {{"reply-to", "q\r"}}, true, ""), EVQStompError);
  EXPECT_THROW(Client.Send("/queue/a", "x", {{"", "q"}}, true, ""), EVQStompError);
  EXPECT_THROW(Client.Send("/queue/a", "x", {{"a:b", "q"}}, true, ""), EVQStompError);
  EXPECT_THROW(Client.Send("/queue/a\0x"s, "x", {}, true, ""), EVQStompError);
  EXPECT_THROW(Client.Subscribe("/queue/a\n\nSEND", false, "", ""), EVQStompError);
  EXPECT_EQ(ErrorOf([&] { Client.Send("/queue/a", "a\0b"s, {}, true, ""); }),
            "The body holds a NUL byte and must be sent with a content-length");
  Client.SetUsername("evil\nlogin:root");
  EXPECT_THROW(Client.StompConnect(), EVQStompError);

  Client.Send("/queue/a", "a\0b"s, {}, false, "");
  ASSERT_TRUE(Peer.WaitForReceived("SEND"));
  EXPECT_EQ(WrittenAfterConnect(), "SEND\ndestination:/queue/a\ncontent-length:3\n\na\0b\0\n"s);
}

TEST_F(VQStompCustomClientPeer, IncomingFramesAreDispatched) {
  Client.SetOnMessageFrame([&](TVQStompCustomClient&, IStompFrame& Frame) { Client.Events.push_back("message " + Frame.GetBody()); });
  Client.SetOnReceiptFrame([&](TVQStompCustomClient&, IStompFrame& Frame) { Client.Events.push_back("receipt " + Frame.GetHeader("receipt-id")); });
  Client.SetOnConnectedFrame([&](TVQStompCustomClient&, IStompFrame&) { Client.Events.push_back("connected"); });
  Client.SetOnErrorFrame([&](TVQStompCustomClient&, IStompFrame& Frame) { Client.Events.push_back("error " + Frame.GetBody()); });

  std::vector<std::string> Reported;
  Client.SetOnException([&](TVQStompCustomClient&, const Exception& Error) {
    const auto& FromBroker = dynamic_cast<const EVQStompServerErrorMessage&>(Error);
    Reported.push_back(std::string(FromBroker.what()) + "|" + FromBroker.GetBody());
  });
  EXPECT_EQ(ErrorOf([&] { Client.StompDataAvailable("ERROR\nmessage:bad login\n\ndetails\0\n"s); }), "bad login")
      << "before CONNECTED an ERROR answers the CONNECT";
  Client.StompDataAvailable("CONNECTED\nsession:s1\n\n\0\n"s);
  EXPECT_EQ(Client.GetSessionID(), "s1");
  Client.StompDataAvailable("CONNECTED\n\n\0\n"s);
  EXPECT_EQ(Client.GetSessionID(), "") << "a second CONNECTED replaces the session";
  Client.StompDataAvailable("MESSAGE\ndestination:/queue/a\n\nbody");
  Client.StompDataAvailable("RECEIPT\nreceipt-id:r1\n\n\0\n"s);
  Client.StompDataAvailable("ERROR\nmessage:queue full\n\ndetails\0\n"s);
  Client.StompDataAvailable("ERROR\n\n\0\n"s);
  EXPECT_THROW(Client.StompDataAvailable("MESSAGE\nbroken\n\n"), EVQStompError);
  Client.StompDataAvailable("PING\n\n\0\n"s);
  Client.StompDataAvailable("message\n\n\0\n"s);

  EXPECT_EQ(Client.Events, (std::vector<std::string>{"error details", "connected", "connected", "message body",
                                                     "hook body", "receipt r1", "error details", "error "}));
  EXPECT_EQ(Reported, (std::vector<std::string>{"queue full|details", "|"})) << "reported, not raised, once connected";
  EXPECT_EQ(Logged, (std::vector<std::string>{"3 Unknown command PING in stomp frame",
                                              "3 Unknown command message in stomp frame"}));
}

TEST_F(VQStompCustomClientPeer, TracesAtDebugLevel) {
  Client.GetLogger()->SetLevel(llDebug);
  Client.SetCommAdapter(Adapter.get());
  EXPECT_EQ(Client.GetHost(), "localhost");
  EXPECT_EQ(Client.GetPort(), 61613);
  Client.SetHost("127.0.0.1");
  Client.SetPort(Peer.Port());
  ConnectWith(vq::test::TScriptedPeer::DefaultConnectedFrame());
  Client.Disconnect();
  EXPECT_EQ(Logged, (std::vector<std::string>{"0 TVQStompCustomClient: Set communication adapter to TVQCommAdapterIndy",
                                              "0 TVQCommAdapterIndy: Connect", "0 TVQCommAdapterIndy: StompDisconnect"}));
}

TEST(VQStompCustomClient, NoAdapterIsAClearError) {
  TVQStompCustomClient Client;
  for (const auto& Action : std::vector<std::function<void()>>{
           [&] { Client.Connect(); }, [&] { Client.Send("/queue/a", "x", {}, true, ""); },
           [&] { Client.Disconnect(); }, [&] { Client.GetHost(); }, [&] { Client.SetPort(1); }})
    EXPECT_EQ(ErrorOf(Action), "No communication adapter");
}
// Against a real broker: the frames this client writes are understood, and what comes
// back arrives byte for byte.
class VQStompCustomClientBroker : public testing::Test {
protected:
  void ConnectTo(const vq::test::TBrokerAddress& Broker) {
    Client.SetCommAdapter(Adapter.get());
    Client.SetHost(Broker.Host);
    Client.SetPort(Broker.Port);
    Client.SetOnMessageFrame([this](TVQStompCustomClient&, IStompFrame& Frame) {
      Bodies.push_back(Frame.GetBody());
      MessageIDs.push_back(Frame.GetHeader("message-id"));
    });
    Client.Connect();
  }

  // Reads frames until Count messages have arrived or the broker stays silent for Quiet ms.
  void ReadMessages(size_t Count, int32_t Quiet = 10000) {
    while (Bodies.size() < Count && Adapter->ReceiveFrame(Quiet)) {
    }
  }

  std::string UniqueQueue(const std::string& Name) { return "/queue/vqstomp-" + Name + "-" + NewGuidText(); }

  std::unique_ptr<TVQCommAdapter> Adapter = CreateDefaultAdapter();
  TVQStompCustomClient Client;
  std::vector<std::string> Bodies;
  std::vector<std::string> MessageIDs;
};

TEST_F(VQStompCustomClientBroker, RoundTripAcknowledgeAndTransactions) {
  VQ_REQUIRE_BROKER(Broker);
  ConnectTo(Broker);
  ASSERT_TRUE(Client.IsConnected());
  const std::string Queue = UniqueQueue("client");
  Client.Subscribe(Queue, true, "sub-1", "");

  const std::string Binary("\0bytes\0with\nNUL\0"s);
  Client.Send(Queue, "plain text", {}, true, "");
  Client.Send(Queue, Binary, {}, false, "");
  Client.BeginTrans("tx-abort", "");
  Client.Send(Queue, "rolled back", {{"transaction", "tx-abort"}}, true, "");
  Client.AbortTrans("tx-abort", "");
  Client.BeginTrans("tx-commit", "");
  Client.Send(Queue, "committed", {{"transaction", "tx-commit"}}, true, "");
  Client.CommitTrans("tx-commit", "");

  ReadMessages(3);
  ASSERT_EQ(Bodies, (std::vector<std::string>{"plain text", Binary, "committed"}));
  Client.Ack(MessageIDs.back(), "");
  // Nothing else is on the way: the aborted message never arrives.
  EXPECT_FALSE(Adapter->ReceiveFrame(1500));
  Client.UnsubscribeID("sub-1", "");
  Client.Disconnect();
  EXPECT_FALSE(Client.IsConnected());
}

TEST_F(VQStompCustomClientBroker, RejectedFrameRaisesTheBrokersMessage) {
  VQ_REQUIRE_BROKER(Broker);
  ConnectTo(Broker);
  std::string ErrorFrameMessage;
  Client.SetOnErrorFrame([&](TVQStompCustomClient&, IStompFrame& Frame) { ErrorFrameMessage = Frame.GetHeader("message"); });
  Client.Send("", "no destination", {}, true, "receipt-1");
  try {
    Adapter->ReceiveFrame(10000);
    FAIL() << "the broker accepted a SEND without destination";
  } catch (const EVQStompServerErrorMessage& Error) {
    EXPECT_FALSE(std::string(Error.what()).empty());
    EXPECT_EQ(Error.what(), ErrorFrameMessage);
  }
}
