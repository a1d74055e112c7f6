// Listener latency on loopback: from the moment a MESSAGE frame is handed to the socket
// (the time is taken just before the send call) to the start of the listener's call.
// A minimal peer in this program plays the broker and sends one message at a time,
// each once the listener has taken the one before. The same is then measured for a
// plain reader thread (poll, recv, find the NUL), which is what the machine itself costs:
// mostly the wake-up of a thread that sleeps in poll.
//   vqstomp_latency_bench [COUNT]      (default 10000, after 1000 not counted)
// Prints for each reader "reader=<vqstomp|plain> count=<n> median_us=<x> p90_us=<y>
// p99_us=<z> max_us=<w>".

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <vqstomp/VQJMSConnection.h>

#include "LoopbackListener.h"

using namespace vq;
using TClock = std::chrono::steady_clock;

namespace {

constexpr int32_t WarmUp = 1000;

[[noreturn]] void Fail(const char* What) { throw std::system_error(errno, std::generic_category(), What); }

// Plays the broker on 127.0.0.1 for one connection.
class TPeer {
public:
  TPeer() { FListener = vq::test::ListenOnLoopback(FPort, 1); }
  ~TPeer() {
    if (FConnection >= 0) close(FConnection);
    close(FListener);
  }

  int32_t Port() const { return FPort; }

  // Accepts the client, answers its CONNECT and returns the id of its SUBSCRIBE.
  std::string AcceptSubscriber() {
    FConnection = accept(FListener, nullptr, nullptr);
    if (FConnection < 0) Fail("accept");
    const int On = 1;
    setsockopt(FConnection, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
    ReadFrame();
    Send(std::string_view("CONNECTED\nsession:latency\n\n\0\n", 29));
    const std::string Subscribe = ReadFrame();
    const size_t Id = Subscribe.find("\nid:");
    if (!Subscribe.starts_with("SUBSCRIBE\n") || Id == std::string::npos) throw std::runtime_error("no SUBSCRIBE id");
    return Subscribe.substr(Id + 4, Subscribe.find('\n', Id + 4) - Id - 4);
  }

  void Send(std::string_view Data) const {
    while (!Data.empty()) {
      const ssize_t Sent = send(FConnection, Data.data(), Data.size(), MSG_NOSIGNAL);
      if (Sent < 0) Fail("send");
      Data.remove_prefix(static_cast<size_t>(Sent));
    }
  }

private:
  std::string ReadFrame() {
    for (;;) {
      if (const size_t End = FPending.find('\0'); End != std::string::npos) {
        const size_t Begin = FPending.find_first_not_of('\n');
        std::string Frame = FPending.substr(Begin, End - Begin);
        FPending.erase(0, End + 1);
        return Frame;
      }
      char Buffer[4096];
      const ssize_t Received = recv(FConnection, Buffer, sizeof Buffer, 0);
      if (Received <= 0) Fail("recv");
      FPending.append(Buffer, static_cast<size_t>(Received));
    }
  }

  int FListener;
  int FConnection = -1;
  int32_t FPort = 0;
  std::string FPending;
};

// When each message reached its reader; the peer waits on the count.
class TArrivals {
public:
  explicit TArrivals(size_t Count) : FTimes(Count) {}
  void Stamp() {
    const auto Now = TClock::now();
    const uint32_t Index = FCount.load(std::memory_order_relaxed);
    if (Index < FTimes.size()) FTimes[Index] = Now;
    FCount.store(Index + 1, std::memory_order_release);
    FCount.notify_one();
  }
  uint32_t Count() const { return FCount.load(std::memory_order_acquire); }
  void AwaitCount(uint32_t Count) const {
    for (uint32_t Seen = this->Count(); Seen < Count; Seen = this->Count()) FCount.wait(Seen, std::memory_order_acquire);
  }
  TClock::time_point Time(size_t Index) const { return FTimes[Index]; }
  size_t Expected() const { return FTimes.size(); }

private:
  std::vector<TClock::time_point> FTimes;
  std::atomic<uint32_t> FCount{0};
};

class TStampingListener : public IMessageListener {
public:
  explicit TStampingListener(TArrivals& Arrivals) : FArrivals(Arrivals) {}
  void OnMessage(const std::shared_ptr<IMessage>&) override { FArrivals.Stamp(); }

private:
  TArrivals& FArrivals;
};

// The machine's own share: a thread that waits in poll, receives and stamps each NUL,
// as a reader with no library at all would.
class TPlainReader {
public:
  TPlainReader(int32_t Port, TArrivals& Arrivals) : FSocket(socket(AF_INET, SOCK_STREAM, 0)), FArrivals(Arrivals) {
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Address.sin_port = htons(static_cast<uint16_t>(Port));
    if (FSocket < 0 || connect(FSocket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0) Fail("connect");
    Write(std::string_view("CONNECT\n\n\0", 10));
    Write(std::string_view("SUBSCRIBE\ndestination:/queue/latency\nid:plain\n\n\0", 48));
    FThread = std::thread([this] { Read(); });
  }
  ~TPlainReader() {
    FThread.join();
    close(FSocket);
  }

private:
  void Write(std::string_view Data) const {
    if (send(FSocket, Data.data(), Data.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(Data.size())) Fail("send");
  }
  // The first NUL ends the CONNECTED frame; every later one a message.
  void Read() {
    bool Connected = false;
    char Buffer[65536];
    while (FArrivals.Count() < FArrivals.Expected()) {
      pollfd Poll{FSocket, POLLIN, 0};
      if (poll(&Poll, 1, -1) < 0) return;
      const ssize_t Received = recv(FSocket, Buffer, sizeof Buffer, 0);
      if (Received <= 0) return;
      for (const char* At = Buffer; (At = static_cast<const char*>(std::memchr(At, 0, Buffer + Received - At))); ++At)
        Connected ? FArrivals.Stamp() : void(Connected = true);
    }
  }

  int FSocket;
  TArrivals& FArrivals;
  std::thread FThread;
};

// Headers as ActiveMQ sends them for a text message, with a 100-byte body.
std::string MessageFrame(const std::string& Subscription, int32_t Number) {
  return "MESSAGE\nexpires:0\ndestination:/queue/latency\nsubscription:" + Subscription +
         "\npriority:4\nmessage-id:ID:latency-peer-40123-1765254580000-3:1:1:1:" + std::to_string(Number) +
         "\ntimestamp:1765254580123\n\n" + std::string(100, 'x') + std::string("\0\n", 2);
}

// Accepts the reader on a thread of its own, while Connect runs on this one.
std::string AcceptWhile(TPeer& Peer, const std::function<void()>& Connect) {
  std::string Subscription;
  std::exception_ptr Error;
  std::thread Handshake([&] {
    try {
      Subscription = Peer.AcceptSubscriber();
    } catch (...) {
      Error = std::current_exception();
    }
  });
  Connect();
  Handshake.join();
  if (Error) std::rethrow_exception(Error);
  return Subscription;
}

// Sends one message at a time, each once the one before has arrived.
std::vector<double> SendOneByOne(TPeer& Peer, const std::string& Subscription, const TArrivals& Arrivals) {
  std::vector<std::string> Frames;
  for (uint32_t Number = 0; Number < Arrivals.Expected(); ++Number)
    Frames.push_back(MessageFrame(Subscription, static_cast<int32_t>(Number)));
  std::vector<double> Latencies;
  for (uint32_t Index = 0; Index < Frames.size(); ++Index) {
    const auto Sent = TClock::now();
    Peer.Send(Frames[Index]);
    Arrivals.AwaitCount(Index + 1);
    if (Index >= static_cast<uint32_t>(WarmUp))
      Latencies.push_back(std::chrono::duration<double, std::micro>(Arrivals.Time(Index) - Sent).count());
  }
  return Latencies;
}

std::vector<double> MeasureListener(int32_t Count) {
  TPeer Peer;
  TArrivals Arrivals(static_cast<size_t>(WarmUp + Count));
  const auto Connection = TVQJMSConnection::CreateConnection("", "", "127.0.0.1", Peer.Port());
  std::shared_ptr<ISession> Session;
  const std::string Subscription = AcceptWhile(Peer, [&] {
    Connection->Start();
    Session = Connection->CreateSession(false, AckModeAuto);
    Session->CreateConsumer(Session->CreateQueue("/queue/latency"))
        ->SetMessageListener(std::make_shared<TStampingListener>(Arrivals));
  });
  auto Latencies = SendOneByOne(Peer, Subscription, Arrivals);
  Session->Close();
  Connection->Close();
  return Latencies;
}

std::vector<double> MeasurePlainReader(int32_t Count) {
  TPeer Peer;
  TArrivals Arrivals(static_cast<size_t>(WarmUp + Count));
  std::unique_ptr<TPlainReader> Reader;
  const std::string Subscription =
      AcceptWhile(Peer, [&] { Reader = std::make_unique<TPlainReader>(Peer.Port(), Arrivals); });
  return SendOneByOne(Peer, Subscription, Arrivals);
}

double Quantile(const std::vector<double>& Sorted, double Fraction) {
  const auto Rank = static_cast<size_t>(Fraction * static_cast<double>(Sorted.size()));
  return Sorted[std::min(Rank, Sorted.size() - 1)];
}

void Report(const char* Reader, std::vector<double> Latencies) {
  std::sort(Latencies.begin(), Latencies.end());
  std::printf("reader=%s count=%zu median_us=%.1f p90_us=%.1f p99_us=%.1f max_us=%.1f\n", Reader, Latencies.size(),
              Quantile(Latencies, 0.5), Quantile(Latencies, 0.9), Quantile(Latencies, 0.99), Latencies.back());
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const int32_t Count = argc > 1 ? std::stoi(argv[1]) : 10000;
    Report("vqstomp", MeasureListener(Count));
    Report("plain", MeasurePlainReader(Count));
    return 0;
  } catch (const std::exception& Error) {
    std::cerr << "Error: " << Error.what() << '\n';
    return 1;
  }
}
