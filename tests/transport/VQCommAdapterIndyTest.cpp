#include "transport/VQCommAdapterIndy.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <vqstomp/VQLogger.h>
#include <vqstomp/VQStompTypes.h>

#include "ScriptedPeer.h"
#include "TestSupport.h"
#include "stomp/VQStompFrameReader.h"
#include "support/VQUnicode.h"
#include "transport/VQSynchronize.h"

using namespace vq;
using namespace std::string_literals;
using namespace std::string_view_literals;
using vq::test::TScriptedPeer;
using vq::test::WaitUntil;

namespace {

const std::string ConnectFrame = "CONNECT\naccept-version:1.0\n\n\0\n"s;

template <class T>
class TRecorder {
public:
  void Add(T Item) {
    std::lock_guard Guard(FLock);
    FItems.push_back(std::move(Item));
  }
  std::vector<T> Items() const {
    std::lock_guard Guard(FLock);
    return FItems;
  }
  size_t Count() const { return Items().size(); }
  void Clear() {
    std::lock_guard Guard(FLock);
    FItems.clear();
  }

private:
  mutable std::mutex FLock;
  std::vector<T> FItems;
};

struct TLogLine {
  std::string Text;
  TLogLevel Level;
  bool operator==(const TLogLine&) const = default;
};

class TCommAdapterIndyTest : public ::testing::Test {
protected:
  void SetUp() override {
    Logger->SetConsoleOutput(false);
    Logger->SetOnLog([this](const std::u16string& Msg, TLogLevel Level) { Log.Add({Utf16ToUtf8(Msg), Level}); });
    Adapter.SetLogger(Logger);
    Adapter.SetFrameBoundary(&Reader);
    Adapter.SetHost("127.0.0.1");
    Adapter.SetPort(Peer.Port());
    Adapter.SetOnConnected([](IStompCommAdapter& Sender) { Sender.Write(ConnectFrame); });
    Adapter.SetOnDataAvailable([this](IStompCommAdapter&, std::string_view Data) { Frames.Add(std::string(Data)); });
    Peer.SetAutoConnected(true);
  }

  // Connects and forgets the CONNECTED frame.
  void Connect() {
    Adapter.Connect();
    ASSERT_EQ(Frames.Items(), std::vector{"CONNECTED\nsession:scripted-peer\n\n\0"s});
    Frames.Clear();
  }

  bool Logged(const std::string& Text, TLogLevel Level = llError) {
    return WaitUntil([&] {
      for (const TLogLine& Line : Log.Items())
        if (Line == TLogLine{Text, Level}) return true;
      return false;
    });
  }

  TScriptedPeer Peer;
  std::shared_ptr<TSimpleLogger> Logger = std::make_shared<TSimpleLogger>();
  TRecorder<std::string> Frames;
  TRecorder<TLogLine> Log;
  TVQStompFrameReader Reader;
  TVQCommAdapterIndy Adapter;  // last: its read thread delivers into the members above
};

struct TFramingCase {
  std::string Wire;
  std::vector<std::string> Frames;
};

// Bytes on the wire and the frame texts they must be delivered as: from the command to
// the NUL, whatever pads the frames apart.
const std::vector<TFramingCase> FramingCases = {
    {"MESSAGE\ncontent-length:5\n\nab\0\nc\0\n"s, {"MESSAGE\ncontent-length:5\n\nab\0\nc\0"s}},
    {"MESSAGE\n\nbody\0\nMESSAGE\n\nnext\0\n"s, {"MESSAGE\n\nbody\0"s, "MESSAGE\n\nnext\0"s}},
    {"\n\r\n\nMESSAGE\na:b\n\nx\0"s, {"MESSAGE\na:b\n\nx\0"s}},
    {"MESSAGE\nx-content-length:9\nContent-Length:3\n\nab\0\0\n"s,
     {"MESSAGE\nx-content-length:9\nContent-Length:3\n\nab\0\0"s}},
    {"RECEIPT\nreceipt-id:1 \n\n\0\nMESSAGE\ncontent-length:0\n\n\0\n"s,
     {"RECEIPT\nreceipt-id:1 \n\n\0"s, "MESSAGE\ncontent-length:0\n\n\0"s}},
    // STOMP 1.0 needs no line end after the NUL: the frame is whole without it.
    {"MESSAGE\ncontent-length:2\n\nab\0"s, {"MESSAGE\ncontent-length:2\n\nab\0"s}},
};

}  // namespace

TEST_F(TCommAdapterIndyTest, ReceiveFrameCutsWholeFramesOutOfTheStream) {
  Connect();
  for (const TFramingCase& Case : FramingCases) {
    Peer.Send(Case.Wire);
    for (size_t Index = 0; Index < Case.Frames.size(); ++Index) ASSERT_TRUE(Adapter.ReceiveFrame(20000));
    EXPECT_EQ(Frames.Items(), Case.Frames);
    Frames.Clear();
  }
}

// Large frames, counted or not, leave the buffer whole, and the frame packed right after
// each of them is kept.
TEST_F(TCommAdapterIndyTest, LargeFramesAndTheirNeighboursArriveWhole) {
  Connect();
  const std::string Counted = "MESSAGE\ncontent-length:3145728\n\n" + std::string(3 * 1024 * 1024, 'c') + "\0"s;
  const std::string Uncounted = "MESSAGE\n\n" + std::string(2 * 1024 * 1024, 'u') + "\0"s;
  const std::string Small = "MESSAGE\n\nsmall\0"s;
  // More than the socket buffers hold: the peer sends while the adapter reads.
  std::thread Sender([&] { Peer.Send(Counted + "\n" + Small + Uncounted + Small); });
  for (int Frame = 0; Frame < 4; ++Frame) EXPECT_TRUE(Adapter.ReceiveFrame(20000));
  Sender.join();
  EXPECT_TRUE(Frames.Items() == (std::vector<std::string>{Counted, Small, Uncounted, Small}));
}

TEST(TReceiveBuffer, GrowsOnceToAKnownSizeAndHandsLargeRunsOver) {
  TReceiveBuffer Buffer;
  constexpr size_t Whole = 3 * 1024 * 1024;
  char* const Start = Buffer.Reserve(1000, Whole);
  for (size_t Filled = 0; Filled < Whole; Filled += 1000) {
    char* const Room = Buffer.Reserve(std::min<size_t>(1000, Whole - Filled), Whole);
    ASSERT_EQ(Room, Start + Filled) << "no second growth";
    std::memset(Room, static_cast<char>('a' + Filled % 26), std::min<size_t>(1000, Whole - Filled));
    Buffer.Commit(std::min<size_t>(1000, Whole - Filled));
  }
  std::memcpy(Buffer.Reserve(4), "next", 4);
  Buffer.Commit(4);
  std::string Text;
  Buffer.Take(Whole, Text);
  ASSERT_EQ(Text.size(), Whole);
  EXPECT_EQ(Text[0], 'a');
  EXPECT_EQ(Text[Whole - 1], static_cast<char>('a' + (Whole - 1) / 1000 * 1000 % 26));
  EXPECT_EQ(Buffer.Unread(), "next");
  Buffer.Take(4, Text);
  EXPECT_EQ(Text, "next");
  EXPECT_TRUE(Buffer.Unread().empty());
}

TEST_F(TCommAdapterIndyTest, ReadThreadDeliversSplitAndPackedFramesOnceInOrder) {
  Connect();
  Adapter.StartReceiving();
  EXPECT_TRUE(Adapter.IsReceiving());
  Peer.SendChunks({"MES", "SAGE\ndestination:/q", "ueue/a\n", "\nhel", "lo", "\0"s,
                   "\nMESSAGE\n\nsecond\0\nMESSAGE\n\nthird\0\n"s});
  ASSERT_TRUE(WaitUntil([&] { return Frames.Count() == 3; }));
  EXPECT_EQ(Frames.Items(), (std::vector<std::string>{"MESSAGE\ndestination:/queue/a\n\nhello\0"s,
                                                      "MESSAGE\n\nsecond\0"s, "MESSAGE\n\nthird\0"s}));
}

TEST_F(TCommAdapterIndyTest, ATimeOutNeverLosesOrSplitsAFrame) {
  Connect();
  EXPECT_FALSE(Adapter.ReceiveFrame(30));
  Peer.Send("\n");
  EXPECT_FALSE(Adapter.ReceiveFrame(30));

  std::thread Sender([&] { Peer.SendChunks({"MESSAGE\n", "\nwhole", " body\0"s}, std::chrono::milliseconds(60)); });
  while (!Adapter.ReceiveFrame(10)) {
  }
  Sender.join();
  EXPECT_EQ(Frames.Items(), std::vector{"MESSAGE\n\nwhole body\0"s});

  std::atomic<bool> Started{false};
  bool Delivered = false;
  std::thread Receiver([&] {
    Started = true;
    Delivered = Adapter.ReceiveFrame(0);
  });
  ASSERT_TRUE(WaitUntil([&] { return Started.load(); }));
  Peer.Send("MESSAGE\n\nlate\0"s);
  Receiver.join();
  EXPECT_TRUE(Delivered);
  EXPECT_EQ(Frames.Items().back(), "MESSAGE\n\nlate\0"s);
}

// A frame over the limit fails as soon as it announces or reaches it, before its bytes
// are held; below the limit a long body needs no content-length.
TEST_F(TCommAdapterIndyTest, FramesOverTheSizeLimitFailAtOnce) {
  const std::string Body(16385, 'b');
  Connect();
  Peer.Send("MESSAGE\n\n" + Body + "\0"s);
  ASSERT_TRUE(Adapter.ReceiveFrame(20000));
  EXPECT_EQ(Frames.Items().back(), "MESSAGE\n\n" + Body + "\0"s);

  Reader.SetMaxFrameSize(1000);
  Peer.Send("MESSAGE\ncontent-length:2147483647\n\n");
  EXPECT_EQ(vq::test::ErrorOf<EIdUntrustedStream>([&] { Adapter.ReceiveFrame(20000); }),
            "A frame from the broker holds more than 1000 bytes, the largest allowed");
  EXPECT_THROW(Adapter.ReceiveFrame(20000), EIdSocketError) << "nothing more is read from that stream";
}

// However the bytes come, a wait ends in time and a frame is delivered once, whole.
TEST_F(TCommAdapterIndyTest, ATrickledFrameNeverHoldsAWaitUp) {
  Connect();
  const std::string Frame = "MESSAGE\nslow:" + std::string(60, 's') + "\n\nbody\0"s;
  std::vector<std::string> Bytes;
  for (const char Byte : Frame) Bytes.emplace_back(1, Byte);
  std::thread Trickle([&] { Peer.SendChunks(Bytes, std::chrono::milliseconds(10)); });
  int Waits = 0;
  for (bool Delivered = false; !Delivered; ++Waits) {
    const auto Start = std::chrono::steady_clock::now();
    Delivered = Adapter.ReceiveFrame(100);
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(3));
  }
  Trickle.join();
  EXPECT_GT(Waits, 1);
  EXPECT_EQ(Frames.Items(), std::vector{Frame});
}

enum class TPeerEnd { Stay, Close, Reset };

struct TFailureCase {
  std::string Name;
  std::string Sent;
  TPeerEnd End;
  std::string Logged;
};

// Named in test listings by its name, not its bytes.
void PrintTo(const TFailureCase& Case, std::ostream* Out) { *Out << Case.Name; }

class TBackgroundFailureTest : public TCommAdapterIndyTest, public ::testing::WithParamInterface<TFailureCase> {};

TEST_P(TBackgroundFailureTest, IsLoggedAndEndsTheReadThreadWithoutADelivery) {
  Connect();
  Adapter.StartReceiving();
  Peer.Send(GetParam().Sent);
  if (GetParam().End == TPeerEnd::Close) Peer.Close();
  if (GetParam().End == TPeerEnd::Reset) Peer.Reset();
  EXPECT_TRUE(Logged("TVQCommAdapterIndy: " + GetParam().Logged));
  EXPECT_TRUE(WaitUntil([&] { return !Adapter.IsReceiving(); }));
  EXPECT_EQ(Frames.Count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    TCommAdapterIndy, TBackgroundFailureTest,
    ::testing::Values(TFailureCase{"ClosedBetweenFrames", "", TPeerEnd::Close, "Connection Closed Gracefully."},
                      TFailureCase{"ClosedMidFrame", "MESSAGE\n\nhal", TPeerEnd::Close,
                                   "The connection was closed in the middle of a frame (12 bytes of it unread)"},
                      TFailureCase{"ResetBetweenFrames", "", TPeerEnd::Reset,
                                   "Socket Error # 104\r\n" + std::string(std::strerror(ECONNRESET))},
                      TFailureCase{"ResetMidFrame", "MESSAGE\n\nhal", TPeerEnd::Reset,
                                   "Socket Error # 104\r\n" + std::string(std::strerror(ECONNRESET))},
                      TFailureCase{"NegativeContentLength", "MESSAGE\ncontent-length:-1\n\n", TPeerEnd::Stay,
                                   "Invalid content-length \"-1\": not a plain non-negative decimal number; the "
                                   "stream cannot be trusted"}),
    [](const auto& Info) { return Info.param.Name; });

TEST_F(TCommAdapterIndyTest, AFailingHandlerIsLoggedAndReceivingGoesOn) {
  Adapter.SetOnDataAvailable([this](IStompCommAdapter&, std::string_view Data) {
    Frames.Add(std::string(Data));
    if (Data.starts_with("ERROR")) throw EVQStompError("broker said no");
  });
  Connect();
  Adapter.StartReceiving();
  Peer.Send("ERROR\nmessage:no\n\n\0\nMESSAGE\n\nafter\0\n"s);
  EXPECT_TRUE(Logged("TVQCommAdapterIndy: broker said no"));
  ASSERT_TRUE(WaitUntil([&] { return Frames.Count() == 2; }));
  EXPECT_EQ(Frames.Items().back(), "MESSAGE\n\nafter\0"s);
  EXPECT_TRUE(Adapter.IsReceiving());
}

// Whole frames, or frames written in parts (head, body, end), never interleave.
TEST_F(TCommAdapterIndyTest, ConcurrentWritesArriveWholeOneAfterTheOther) {
  Connect();
  constexpr int FramesPerThread = 16;
  auto Frame = [](char Fill) { return "SEND\n\n" + std::string(256 * 1024, Fill) + "\0\n"s; };
  auto WriteAll = [&](char Fill) {
    for (int Index = 0; Index < FramesPerThread; ++Index) {
      if (Fill == 'a') {
        Adapter.Write(Frame(Fill));
        continue;
      }
      const std::string Body(256 * 1024, Fill);
      const std::string_view Parts[] = {"SEND\n\n", Body, "\0\n"sv};
      Adapter.WriteParts(Parts);
    }
  };
  std::thread First(WriteAll, 'a');
  std::thread Second(WriteAll, 'b');
  First.join();
  Second.join();
  const size_t Total = ConnectFrame.size() + 2 * FramesPerThread * Frame('a').size();
  ASSERT_TRUE(Peer.WaitForReceived([&](const std::string& Received) { return Received.size() >= Total; }));
  std::string Received = Peer.Received().substr(ConnectFrame.size());
  int Seen = 0;
  for (; !Received.empty(); ++Seen) {
    const std::string Expected = Frame(Received[6]);
    ASSERT_EQ(Received.substr(0, Expected.size()), Expected) << "frame " << Seen;
    Received.erase(0, Expected.size());
  }
  EXPECT_EQ(Seen, 2 * FramesPerThread);
}

TEST_F(TCommAdapterIndyTest, ConnectFailsBeforeTheNetworkWithoutHostOrPortAndOnRefusal) {
  bool Notified = false;
  Adapter.SetOnConnected([&](IStompCommAdapter& Sender) {
    Notified = true;
    Sender.Write(ConnectFrame);
  });
  Adapter.SetHost("");
  EXPECT_THROW(Adapter.Connect(), EVQCommError);
  Adapter.SetHost("127.0.0.1");
  Adapter.SetPort(0);
  EXPECT_THROW(Adapter.Connect(), EVQCommError);

  // A bound socket that does not listen refuses connections.
  const int Bound = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Length = sizeof Address;
  ASSERT_EQ(bind(Bound, reinterpret_cast<sockaddr*>(&Address), Length), 0);
  ASSERT_EQ(getsockname(Bound, reinterpret_cast<sockaddr*>(&Address), &Length), 0);
  Adapter.SetPort(ntohs(Address.sin_port));
  try {
    Adapter.Connect();
    ADD_FAILURE() << "connected to a port nobody listens on";
  } catch (const EIdSocketError& Error) {
    EXPECT_EQ(Error.GetLastError(), 111);
    EXPECT_EQ(Error.what(), "Socket Error # 111\r\n"s + std::strerror(ECONNREFUSED));
  }
  close(Bound);
  EXPECT_FALSE(Notified);
  EXPECT_FALSE(Adapter.Connected());
  EXPECT_THROW(Adapter.ReceiveFrame(0), EIdConnClosedGracefully);

  Adapter.SetPort(Peer.Port());
  Adapter.Connect();
  EXPECT_TRUE(Notified);
  EXPECT_TRUE(Peer.WaitForReceived(ConnectFrame));
}

TEST_F(TCommAdapterIndyTest, AfterThePeerClosedBufferedFramesAreReadThenEverythingFails) {
  EXPECT_FALSE(Adapter.Connected());
  Connect();
  EXPECT_TRUE(Adapter.Connected());
  Peer.Send("MESSAGE\n\nlast\0\n"s);
  Peer.Close();
  EXPECT_TRUE(Adapter.Connected());
  ASSERT_TRUE(Adapter.ReceiveFrame(0));
  EXPECT_TRUE(WaitUntil([&] { return !Adapter.Connected(); }));
  EXPECT_THROW(Adapter.ReceiveFrame(0), EIdConnClosedGracefully);
  EXPECT_THROW(
      try { Adapter.Write("SEND\n\n\0"s); } catch (const EIdConnClosedGracefully& Error) {
        EXPECT_STREQ(Error.what(), "Connection Closed Gracefully.");
        throw;
      },
      EVQCommError);
}

TEST_F(TCommAdapterIndyTest, StoppedReceivingLeavesFramesToReceiveFrame) {
  Connect();
  Adapter.StartReceiving();
  Peer.Send("MESSAGE\n\nread thread\0\n"s);
  ASSERT_TRUE(WaitUntil([&] { return Frames.Count() == 1; }));
  // The read thread is now in an idle pass; a frame arriving after the stop is not its.
  Adapter.StopReceiving();
  EXPECT_FALSE(Adapter.IsReceiving());
  Peer.Send("MESSAGE\n\nmine\0\n"s);
  ASSERT_TRUE(Adapter.ReceiveFrame(20000));
  EXPECT_EQ(Frames.Items(), (std::vector<std::string>{"MESSAGE\n\nread thread\0"s, "MESSAGE\n\nmine\0"s}));
}

TEST_F(TCommAdapterIndyTest, DisconnectEndsReadingEvenInTheMiddleOfAFrame) {
  Logger->SetLevel(llDebug);
  Connect();
  EXPECT_TRUE(Logged("TVQCommAdapterIndy: Connect", llDebug));
  Adapter.StartReceiving();
  Peer.Send("MESSAGE\n\nnever comp");
  EXPECT_TRUE(Peer.WaitForReceived(ConnectFrame));
  Adapter.Disconnect();
  EXPECT_TRUE(Logged("TVQCommAdapterIndy: StompDisconnect", llDebug));
  EXPECT_FALSE(Adapter.IsReceiving());
  EXPECT_FALSE(Adapter.Connected());
  EXPECT_TRUE(Peer.WaitForClientClose());
  EXPECT_EQ(Frames.Count(), 0u);
  for (const TLogLine& Line : Log.Items()) EXPECT_NE(Line.Level, llError) << Line.Text;

  Adapter.StartReceiving();
  EXPECT_FALSE(Adapter.IsReceiving());
}

TEST_F(TCommAdapterIndyTest, AHandlerMayDisconnectFromTheReadThread) {
  std::atomic<bool> Disconnected{false};
  Adapter.SetOnDataAvailable([&](IStompCommAdapter& Sender, std::string_view Data) {
    if (Data.starts_with("MESSAGE")) {
      Sender.Disconnect();
      Disconnected = true;
    }
  });
  Adapter.Connect();
  Adapter.StartReceiving();
  Peer.Send("MESSAGE\n\nbye\0\n"s);
  ASSERT_TRUE(WaitUntil([&] { return Disconnected.load(); }));
  EXPECT_TRUE(Peer.WaitForClientClose());
  EXPECT_TRUE(WaitUntil([&] { return !Adapter.IsReceiving(); }));
}

TEST_F(TCommAdapterIndyTest, ConnectingAgainEndsTheEarlierReadThread) {
  Connect();
  Adapter.StartReceiving();
  TScriptedPeer Second;
  Second.SetAutoConnected(true);
  Adapter.SetPort(Second.Port());
  Connect();
  EXPECT_TRUE(Peer.WaitForClientClose());
  EXPECT_FALSE(Adapter.IsReceiving());
  Adapter.StartReceiving();
  Second.Send("MESSAGE\n\nfrom the second\0\n"s);
  ASSERT_TRUE(WaitUntil([&] { return Frames.Count() == 1; }));
  EXPECT_EQ(Frames.Items(), std::vector{"MESSAGE\n\nfrom the second\0"s});
  Adapter.Disconnect();
}

TEST_F(TCommAdapterIndyTest, DestroyingAReceivingAdapterEndsItsThread) {
  TVQStompFrameReader OwnReader;
  auto Owned = std::make_unique<TVQCommAdapterIndy>();
  Owned->SetFrameBoundary(&OwnReader);
  Owned->SetHost("127.0.0.1");
  Owned->SetPort(Peer.Port());
  Owned->SetOnConnected([](IStompCommAdapter& Sender) { Sender.Write(ConnectFrame); });
  Owned->Connect();
  Owned->StartReceiving();
  Peer.Send("MESSAGE\n\nhalf");
  Owned.reset();
  EXPECT_TRUE(Peer.WaitForClientClose());
}

TEST_F(TCommAdapterIndyTest, WithoutConsoleModeDeliveriesRunOnTheMainThread) {
  const auto MainThread = std::this_thread::get_id();
  Adapter.SetOnDataAvailable([this, MainThread](IStompCommAdapter&, std::string_view Data) {
    EXPECT_TRUE(std::this_thread::get_id() == MainThread);
    Frames.Add(std::string(Data));
    if (Data.starts_with("ERROR")) throw EVQStompError("error frame");
  });
  Connect();
  Adapter.SetConsoleMode(false);
  Adapter.StartReceiving();
  Peer.Send("ERROR\n\n\0\nMESSAGE\n\ntwo\0\n"s);
  EXPECT_TRUE(WaitUntil([&] {
    CheckSynchronize();
    return Frames.Count() == 2;
  }));
  EXPECT_TRUE(Logged("TVQCommAdapterIndy: error frame"));
  EXPECT_EQ(Frames.Items().back(), "MESSAGE\n\ntwo\0"s);
}

TEST_F(TCommAdapterIndyTest, DisconnectDoesNotWaitForAQueuedDelivery) {
  Connect();
  Adapter.SetConsoleMode(false);
  Adapter.StartReceiving();
  Peer.Send("MESSAGE\n\nqueued\0\n"s);
  Adapter.Disconnect();
  CheckSynchronize();
  EXPECT_EQ(Frames.Count(), 0u);
}

TEST_F(TCommAdapterIndyTest, ADeliveryOnTheMainThreadMayDisconnect) {
  std::atomic<bool> Disconnected{false};
  Adapter.SetOnDataAvailable([&](IStompCommAdapter& Sender, std::string_view Data) {
    if (!Data.starts_with("MESSAGE")) return;
    Sender.Disconnect();
    Disconnected = true;
  });
  Adapter.Connect();
  Adapter.SetConsoleMode(false);
  Adapter.StartReceiving();
  Peer.Send("MESSAGE\n\nbye\0\n"s);
  EXPECT_TRUE(WaitUntil([&] {
    CheckSynchronize();
    return Disconnected.load();
  }));
  EXPECT_FALSE(Adapter.IsReceiving());
}
