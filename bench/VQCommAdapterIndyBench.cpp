#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include <vqstomp/VQStompFrame.h>

#include "LoopbackListener.h"
#include "TypicalFrames.h"
#include "stomp/VQStompFrameReader.h"
#include "transport/VQCommAdapterIndy.h"

using namespace vq;

namespace {

// Accepts one connection on loopback and sends the same frames over and over until the
// reader goes away.
class TFloodingPeer {
public:
  explicit TFloodingPeer(const std::string& Frame) {
    FListener = vq::test::ListenOnLoopback(FPort, 1);
    std::string Block;
    while (Block.size() < 256 * 1024) Block += Frame;
    FThread = std::thread([this, Block] { Flood(Block); });
  }

  ~TFloodingPeer() {
    if (const int Connection = FConnection; Connection >= 0) shutdown(Connection, SHUT_RDWR);
    FThread.join();
    close(FListener);
  }

  int32_t Port() const { return FPort; }

private:
  void Flood(const std::string& Block) {
    const int Connection = accept(FListener, nullptr, nullptr);
    FConnection = Connection;
    while (send(Connection, Block.data(), Block.size(), MSG_NOSIGNAL) > 0) {
    }
    FConnection = -1;
    close(Connection);
  }

  int FListener = -1;
  int32_t FPort = 0;
  std::atomic<int> FConnection{-1};
  std::thread FThread;
};

void ReportFrames(benchmark::State& State, int64_t Frames, size_t FrameSize) {
  State.SetItemsProcessed(Frames);
  State.SetBytesProcessed(Frames * static_cast<int64_t>(FrameSize));
}

void Connect(TVQCommAdapterIndy& Adapter, const TFloodingPeer& Peer) {
  static TVQStompFrameReader Reader;
  Reader.Restart();
  Adapter.SetFrameBoundary(&Reader);
  Adapter.SetHost("127.0.0.1");
  Adapter.SetPort(Peer.Port());
  Adapter.Connect();
}

void BM_ReceiveFrameLoop(benchmark::State& State) {
  const std::string Frame = vq::bench::TypicalMessage(State.range(0) != 0)->Output();
  TFloodingPeer Peer(Frame);
  TVQCommAdapterIndy Adapter;
  int64_t Delivered = 0;
  Adapter.SetOnDataAvailable([&](IStompCommAdapter&, std::string_view) { ++Delivered; });
  Connect(Adapter, Peer);
  Delivered = 0;
  for (auto _ : State) Adapter.ReceiveFrame(0);
  Adapter.Disconnect();
  if (Delivered != State.iterations()) State.SkipWithError("frames lost");
  ReportFrames(State, Delivered, Frame.size());
}
BENCHMARK(BM_ReceiveFrameLoop)->ArgName("content_length")->Arg(0)->Arg(1)->UseRealTime();

void BM_ReadThread(benchmark::State& State) {
  constexpr int64_t Batch = 10000;
  const std::string Frame = vq::bench::TypicalMessage(State.range(0) != 0)->Output();
  TFloodingPeer Peer(Frame);
  TVQCommAdapterIndy Adapter;
  Adapter.SetConsoleMode(true);
  std::atomic<int64_t> Delivered{0};
  std::atomic<int64_t> Target{0};
  Adapter.SetOnDataAvailable([&](IStompCommAdapter&, std::string_view) {
    if (Delivered.fetch_add(1, std::memory_order_relaxed) + 1 == Target.load(std::memory_order_relaxed)) {
      Delivered.notify_one();
    }
  });
  Connect(Adapter, Peer);
  int64_t Expected = Delivered;
  Adapter.StartReceiving();
  for (auto _ : State) {
    Expected += Batch;
    Target = Expected;
    for (int64_t Seen = Delivered; Seen < Expected; Seen = Delivered) Delivered.wait(Seen);
  }
  Adapter.Disconnect();
  ReportFrames(State, State.iterations() * Batch, Frame.size());
}
BENCHMARK(BM_ReadThread)->ArgName("content_length")->Arg(0)->Arg(1)->UseRealTime();

// The same bytes taken from the socket without looking at them: the ceiling.
void BM_RawReceive(benchmark::State& State) {
  const std::string Frame = vq::bench::TypicalMessage(State.range(0) != 0)->Output();
  TFloodingPeer Peer(Frame);
  const int Socket = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Address.sin_port = htons(static_cast<uint16_t>(Peer.Port()));
  if (connect(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0) State.SkipWithError("no connection");
  char Buffer[32768];
  int64_t Bytes = 0;
  for (auto _ : State) Bytes += recv(Socket, Buffer, sizeof Buffer, 0);
  close(Socket);
  State.SetBytesProcessed(Bytes);
  State.counters["frames_per_second"] =
      benchmark::Counter(static_cast<double>(Bytes) / static_cast<double>(Frame.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RawReceive)->ArgName("content_length")->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
