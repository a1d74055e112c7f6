#include <vqstomp/VQStompCustomClient.h>
#include <vqstomp/VQStompFrame.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

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
  // Every second frame is kept, as a handler may keep what it is given.
  std::vector<std::shared_ptr<IStompFrame>> Kept;

protected:
  void StompFrameAvailable(const std::shared_ptr<IStompFrame>& Frame) override {
    Events.push_back("hook " + Frame->GetBody());
    if (Events.size() % 2 == 1) Kept.push_back(Frame);
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
  TVQStompFrame Forged;
  Forged.SetCommand("SEND\n\nMESSAGE");
  EXPECT_EQ(ErrorOf([&] { Client.Transmit(Forged); }), "Command \"SEND\\x0A\\x0AMESSAGE\" holds a line break or NUL byte");

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

// Frames read from the broker are decoded into one the client reuses: never into one
// that a handler still holds.
TEST_F(VQStompCustomClientPeer, FramesAHandlerKeepsStayAsTheyWere) {
  ConnectWith(vq::test::TScriptedPeer::DefaultConnectedFrame());
  std::string Stream;
  for (const char* Body : {"one", "two", "three", "four", "five"})
    Stream += "MESSAGE\nid:"s + Body + "\n\n" + Body + "\0\n"s;
  Peer.Send(Stream);
  while (Client.Events.size() < 5 && Client.ReceiveFrame(20000)) {
  }
  ASSERT_EQ(Client.Events.size(), 5u);
  ASSERT_EQ(Client.Kept.size(), 3u);
  for (size_t I = 0; I < Client.Kept.size(); ++I) {
    const std::string Body = std::vector<std::string>{"one", "three", "five"}[I];
    EXPECT_EQ(Client.Kept[I]->GetBody(), Body);
    EXPECT_EQ(Client.Kept[I]->GetHeader("id"), Body);
    EXPECT_EQ(Client.Kept[I]->HeaderCount(), 1);
  }
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

namespace {

std::string ConnectedFrame(std::string_view Headers) {
  return "CONNECTED\n" + std::string(Headers) + "\n\0\n"s;
}

// The value of the last "receipt" header the peer received.
std::string LastReceipt(const std::string& Received) {
  const size_t At = Received.rfind("\nreceipt:");
  if (At == std::string::npos) return "";
  const size_t Start = At + 9;
  return Received.substr(Start, Received.find('\n', Start) - Start);
}

}  // namespace

TEST_F(VQStompCustomClientPeer, ConnectOffersVersionsAndTheBrokerChooses) {
  EXPECT_EQ(ErrorOf([&] { Client.SetAcceptVersion("1.1,2.0"); }),
            "Cannot offer STOMP version \"2.0\": the versions are 1.0, 1.1 and 1.2, comma-separated");
  Client.SetHeartBeat(500, 0);
  EXPECT_EQ(ErrorOf([&] { Client.Connect(); }),
            "Heart-beats need STOMP 1.1 or later: offer versions with SetAcceptVersion");
  EXPECT_FALSE(Peer.WaitForConnection(std::chrono::milliseconds(50))) << "refused before any network activity";

  Client.SetUsername("u");
  Client.SetPassword("p");
  Client.SetAcceptVersion("1.1,1.2");
  Client.SetHeartBeat(500, 1500);
  ConnectWith(ConnectedFrame("version:1.2\nsession:s\nheart-beat:1000,1000\n"));
  EXPECT_EQ(Peer.Received(), "CONNECT\naccept-version:1.1,1.2\nhost:127.0.0.1\nlogin:u\npasscode:p\n"
                             "heart-beat:500,1500\n\n\0\n"s);
  EXPECT_EQ(Client.GetVersion(), TStompVersion::V1_2);
  EXPECT_EQ(Client.GetHeartBeat().Send, 1000) << "the slower of ours and what the broker wants";
  EXPECT_EQ(Client.GetHeartBeat().Receive, 1500);
}

TEST(VQStompCustomClient, EachVersionAndSettingHasItsConnectAndAnswer) {
  struct TCase {
    std::string Offered;
    std::string VirtualHost;
    std::string Answer;
    std::string Connect;
    std::string Outcome;
  };
  const std::vector<TCase> Cases{
      {"1.2", "/", "version:1.2\n", "CONNECT\naccept-version:1.2\nhost:/\n\n\0\n"s, "1.2"},
      {"1.0,1.1", "", "", "CONNECT\naccept-version:1.0,1.1\nhost:127.0.0.1\n\n\0\n"s, "1.0"},
      {"1.1", "vh", "version:1.2\n", "CONNECT\naccept-version:1.1\nhost:vh\n\n\0\n"s,
       "The broker chose STOMP version \"1.2\", which was not offered (1.1)"},
      {"1.1,1.2", "", "", "CONNECT\naccept-version:1.1,1.2\nhost:127.0.0.1\n\n\0\n"s,
       "The broker chose STOMP version \"1.0\", which was not offered (1.1,1.2)"},
      {"", "ignored", "version:1.1\n", "CONNECT\n\n\0\n"s, "1.0"},
  };
  for (const auto& Case : Cases) {
    vq::test::TScriptedPeer Peer;
    const auto Adapter = CreateDefaultAdapter();
    TVQStompCustomClient Client;
    Client.SetCommAdapter(Adapter.get());
    Client.SetHost("127.0.0.1");
    Client.SetPort(Peer.Port());
    Client.SetAcceptVersion(Case.Offered);
    Client.SetVirtualHost(Case.VirtualHost);
    Peer.SetAutoConnected(true, ConnectedFrame(Case.Answer));
    std::string Outcome;
    try {
      Client.Connect();
      Outcome = std::string(VersionName(Client.GetVersion()));
    } catch (const EVQStompError& Error) {
      Outcome = Error.what();
      EXPECT_FALSE(Client.IsConnected());
      EXPECT_TRUE(Peer.WaitForClientClose()) << "a refused answer closes the socket";
    }
    EXPECT_EQ(Outcome, Case.Outcome) << Case.Offered;
    EXPECT_EQ(Peer.Received(), Case.Connect) << Case.Offered;
  }
}

TEST_F(VQStompCustomClientPeer, HeadersAreEscapedBothWaysIn11) {
  Client.SetAcceptVersion("1.1");
  std::vector<std::string> Notes;
  Client.SetOnMessageFrame([&](TVQStompCustomClient&, IStompFrame& Frame) { Notes.push_back(Frame.GetHeader("note")); });
  ConnectWith(ConnectedFrame("version:1.1\n"));
  Client.Send("/queue/a", "x", {{"note", "a:b\nc\\d"}}, true, "");
  EXPECT_EQ(ErrorOf([&] { Client.Send("/queue/a", "x", {{"note", "a\rb"}}, true, ""); }),
            "Header \"note\" cannot be sent: it holds a carriage return, which STOMP 1.1 cannot carry");
  ASSERT_TRUE(Peer.WaitForReceived("SEND"));
  EXPECT_EQ(WrittenAfterConnect(), "SEND\ndestination:/queue/a\nnote:a\\cb\\nc\\\\d\n\nx\0\n"s);

  Peer.Send("MESSAGE\nnote:x\\cy\\nz\\\\\n\nbody\0\n"s);
  ASSERT_TRUE(Client.ReceiveFrame(20000));
  EXPECT_EQ(Notes, std::vector<std::string>{"x:y\nz\\"});
}

TEST(VQStompCustomClient, AckAndNackNameTheMessageAsTheVersionSays) {
  const TStompAckRef Message{"m-1", "sub-1", "ack-1"};
  const std::vector<std::pair<std::string, std::string>> Expected{
      {"", "ACK\nmessage-id:m-1\ntransaction:tx\n\n\0\n"s},
      {"1.1", "ACK\nmessage-id:m-1\nsubscription:sub-1\ntransaction:tx\n\n\0\n"
              "NACK\nmessage-id:m-1\nsubscription:sub-1\nreceipt:r\n\n\0\n"s},
      {"1.2", "ACK\nid:ack-1\ntransaction:tx\n\n\0\nNACK\nid:ack-1\nreceipt:r\n\n\0\n"s}};
  for (const auto& [Version, Wire] : Expected) {
    vq::test::TScriptedPeer Peer;
    const auto Adapter = CreateDefaultAdapter();
    TVQStompCustomClient Client;
    Client.SetCommAdapter(Adapter.get());
    Client.SetHost("127.0.0.1");
    Client.SetPort(Peer.Port());
    Client.SetAcceptVersion(Version);
    Peer.SetAutoConnected(true, ConnectedFrame(Version.empty() ? "" : "version:" + Version + "\n"));
    Client.Connect();
    Client.Ack(Message, "tx");
    if (Version.empty()) {
      EXPECT_EQ(ErrorOf([&] { Client.Nack(Message, "", "r"); }),
                "NACK needs STOMP 1.1 or later; this connection speaks STOMP 1.0");
    } else {
      Client.Nack(Message, "", "r");
    }
    if (Version == "1.2") {
      EXPECT_EQ(ErrorOf([&] { Client.Ack({"m-1", "sub-1", ""}, ""); }),
                "ACK in STOMP 1.2 needs the message's \"ack\" header, and it has none");
    }
    Client.StompDisconnect();
    ASSERT_TRUE(Peer.WaitForReceived("DISCONNECT"));
    const std::string All = Peer.Received();
    const std::string AfterConnect = All.substr(All.find("\0\n"s) + 2);
    EXPECT_EQ(AfterConnect.substr(0, AfterConnect.find("DISCONNECT")), Wire) << Version;
  }
}

TEST_F(VQStompCustomClientPeer, ReceiptsAnswerTheirOwnRequestsInAnyOrder) {
  Client.SetAcceptVersion("1.2");
  std::vector<std::string> Reported;
  Client.SetOnException([&](TVQStompCustomClient&, const Exception& Error) { Reported.push_back(Error.what()); });
  ConnectWith(ConnectedFrame("version:1.2\n"));

  std::string FirstOutcome = "pending";
  std::thread First([&] {
    FirstOutcome = ErrorOf([&] { Client.Confirmed([&](std::string_view R) { Client.Send("/queue/a", "1", {}, true, R); }); });
  });
  ASSERT_TRUE(Peer.WaitForReceived("receipt:receipt-1"));
  std::string SecondOutcome = "pending";
  std::thread Second([&] {
    SecondOutcome = ErrorOf([&] { Client.Confirmed([&](std::string_view R) { Client.Send("/queue/b", "2", {}, true, R); }); });
  });
  ASSERT_TRUE(Peer.WaitForReceived("receipt:receipt-2"));
  // The later request is answered first; a receipt nobody waits for changes nothing.
  Peer.Send("RECEIPT\nreceipt-id:unknown\n\n\0\nRECEIPT\nreceipt-id:receipt-2\n\n\0\n"s);
  Second.join();
  EXPECT_EQ(SecondOutcome, "no exception");
  EXPECT_EQ(FirstOutcome, "pending");
  Peer.Send("ERROR\nreceipt-id:receipt-1\nmessage:not allowed\n\nno access to /queue/a\0\n"s);
  First.join();
  EXPECT_EQ(FirstOutcome, "not allowed") << "the ERROR is raised in the call it answers";
  EXPECT_TRUE(Reported.empty()) << "and reported nowhere else";

  Client.SetReceiptTimeout(300);
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_EQ(ErrorOf<EVQStompReceiptTimeout>([&] {
              Client.Confirmed([&](std::string_view R) { Client.Subscribe("/queue/c", TStompAckMode::ClientIndividual, "s", R); });
            }),
            "The broker sent no receipt receipt-3 within 300 ms; the frame may or may not have arrived");
  EXPECT_GE(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(290));
  EXPECT_EQ(LastReceipt(Peer.Received()), "receipt-3");
  EXPECT_NE(Peer.Received().find("SUBSCRIBE\ndestination:/queue/c\nack:client-individual\nid:s\n"), std::string::npos)
      << Peer.Received();

  // An ERROR naming no receipt (as RabbitMQ sends them) fails the calls waiting, and is
  // reported as well, since nothing says which call it answers.
  std::string Refused;
  std::thread Waiting([&] {
    Refused = ErrorOf([&] { Client.Confirmed([&](std::string_view R) { Client.Send("/bogus/x", "x", {}, true, R); }); });
  });
  ASSERT_TRUE(Peer.WaitForReceived("receipt:receipt-4"));
  Peer.Send("ERROR\nmessage:Unknown destination\n\n'/bogus/x' is not a valid destination.\0\n"s);
  Waiting.join();
  EXPECT_EQ(Refused, "Unknown destination");
  EXPECT_EQ(Reported, std::vector<std::string>{"Unknown destination"});

  // A receipt awaited when the connection goes raises its loss.
  std::string LostOutcome;
  std::thread Lost([&] {
    LostOutcome = ErrorOf([&] { Client.Confirmed([&](std::string_view R) { Client.CommitTrans("tx", R); }); });
  });
  ASSERT_TRUE(Peer.WaitForReceived("receipt:receipt-5"));
  Peer.Close();
  Lost.join();
  EXPECT_NE(LostOutcome, "no exception");
  EXPECT_TRUE(Client.IsConnectionLost());
}

TEST_F(VQStompCustomClientPeer, DisconnectIn12IsConfirmedByItsReceipt) {
  Client.SetAcceptVersion("1.2");
  ConnectWith(ConnectedFrame("version:1.2\n"));
  std::thread Broker([&] {
    if (Peer.WaitForReceived("DISCONNECT\nreceipt:receipt-1\n\n\0\n"s)) Peer.Send("RECEIPT\nreceipt-id:receipt-1\n\n\0\n"s);
  });
  EXPECT_NO_THROW(Client.Disconnect());
  Broker.join();
  EXPECT_FALSE(Client.IsConnected());
}

TEST_F(VQStompCustomClientPeer, DisconnectWithoutItsReceiptSaysSoOnceClosed) {
  Client.SetAcceptVersion("1.1");
  ConnectWith(ConnectedFrame("version:1.1\n"));
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_THROW(Client.Disconnect(), EVQStompReceiptTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(5));
  EXPECT_TRUE(Peer.WaitForClientClose()) << "closed all the same";
  EXPECT_FALSE(Client.IsConnected());
}

TEST_F(VQStompCustomClientPeer, HeartBeatsFillTheSilenceWithoutCuttingFrames) {
  Client.SetAcceptVersion("1.2");
  Client.SetHeartBeat(100, 0);
  ConnectWith(ConnectedFrame("version:1.2\nheart-beat:0,100\n"));
  ASSERT_EQ(Client.GetHeartBeat().Send, 100);
  const auto Beats = [&] {
    const std::string After = WrittenAfterConnect();
    return std::count(After.begin(), After.end(), '\n');
  };
  const auto Start = std::chrono::steady_clock::now();
  ASSERT_TRUE(vq::test::WaitUntil([&] { return Beats() >= 4; }));
  EXPECT_GE(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(150)) << "not sooner than due";

  // Frames written meanwhile arrive whole between the beats.
  for (int I = 0; I < 200; ++I) Client.Send("/queue/a", std::string(5000, 'x'), {}, false, "");
  Client.StompDisconnect();
  ASSERT_TRUE(Peer.WaitForReceived("DISCONNECT"));
  std::vector<std::shared_ptr<IStompFrame>> Frames;
  const std::string Stream = WrittenAfterConnect();
  for (size_t Start = Stream.find_first_not_of('\n'); Start != std::string::npos;) {
    const size_t End = Stream.find('\0', Start);
    Frames.push_back(TVQStompFrame::Parse(std::string_view(Stream).substr(Start, End + 1 - Start)));
    Start = Stream.find_first_not_of('\n', End + 1);
  }
  ASSERT_EQ(Frames.size(), 201u);
  for (size_t I = 0; I < 200; ++I) EXPECT_EQ(Frames[I]->GetBody(), std::string(5000, 'x'));
}

TEST_F(VQStompCustomClientPeer, ASilentBrokerLosesTheConnection) {
  Client.SetAcceptVersion("1.1");
  Client.SetHeartBeat(0, 100);
  std::mutex Lock;
  std::vector<std::string> Reported;
  Client.SetOnException([&](TVQStompCustomClient&, const Exception& Error) {
    std::lock_guard Guard(Lock);
    Reported.push_back(Error.what());
  });
  ConnectWith(ConnectedFrame("version:1.1\nheart-beat:100,0\n"));
  ASSERT_EQ(Client.GetHeartBeat().Receive, 100);

  // While the broker beats, the connection lives.
  for (int I = 0; I < 8; ++I) {
    Peer.Send("\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(Client.IsConnected());

  const auto Start = std::chrono::steady_clock::now();
  ASSERT_TRUE(vq::test::WaitUntil([&] { return Client.IsConnectionLost(); }));
  const auto Noticed = std::chrono::steady_clock::now() - Start;
  EXPECT_GE(Noticed, std::chrono::milliseconds(180)) << "twice the interval at least";
  EXPECT_LT(Noticed, std::chrono::seconds(5));
  // The loss is marked before it is reported, on the thread that noticed it.
  ASSERT_TRUE(vq::test::WaitUntil([&] {
    std::lock_guard Guard(Lock);
    return !Reported.empty();
  }));
  {
    std::lock_guard Guard(Lock);
    ASSERT_EQ(Reported.size(), 1u);
    EXPECT_NE(Reported[0].find("more than twice its heart-beat interval"), std::string::npos) << Reported[0];
  }
  EXPECT_THROW(Client.Send("/queue/a", "x", {}, true, ""), EVQStompConnectionLostError);
  EXPECT_NE(ErrorOf<EVQStompConnectionLostError>([&] { Client.ReceiveFrame(20000); }).find("heart-beat"),
            std::string::npos)
      << "the socket was broken, and a read says why";
  EXPECT_NO_THROW(Client.Disconnect());
}
