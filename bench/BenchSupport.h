#pragma once

// What the end-to-end programs share: the cases, their message bodies, argument parsing
// and the measurement of the work itself.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vq::bench {

// SendSync, IdleHeartBeat, Connect and the cases after them are the library's own: the
// texts sent each waiting for its receipt, COUNT seconds of an idle connection (STOMP 1.2
// with heart-beats), COUNT connections opened and closed one after the other, bytes
// messages of 1 MiB and 16 MiB, the bulk text spread over many queues, each with a
// consumer of its own, and the time a connection with failover takes to carry messages
// again after its broker was killed.
enum class TCase {
  SendText,
  SendBytes,
  ReceiveClient,
  ReceiveAuto,
  SendSync,
  IdleHeartBeat,
  Connect,
  Send1MiB,
  Receive1MiB,
  Send16MiB,
  Receive16MiB,
  SendSpread,
  ListenSpread,
  Reconnect
};

// The names on the command line, in the order the usage lists them.
inline constexpr std::pair<std::string_view, TCase> CaseNames[] = {
    {"send-text", TCase::SendText},
    {"send-bytes", TCase::SendBytes},
    {"receive-client", TCase::ReceiveClient},
    {"receive-auto", TCase::ReceiveAuto},
    {"send-sync", TCase::SendSync},
    {"idle-heartbeat", TCase::IdleHeartBeat},
    {"connect", TCase::Connect},
    {"send-1mib", TCase::Send1MiB},
    {"receive-1mib", TCase::Receive1MiB},
    {"send-16mib", TCase::Send16MiB},
    {"receive-16mib", TCase::Receive16MiB},
    {"send-spread", TCase::SendSpread},
    {"listen-spread", TCase::ListenSpread},
    {"reconnect", TCase::Reconnect},
};

struct TAddress {
  std::string Host;
  int32_t Port = 0;
};

// The options every client of the comparison takes the same way.
struct TOptions {
  TCase Case = TCase::SendText;
  int32_t Count = 0;
  std::string Queue;
  std::string Host = "127.0.0.1";  // the first broker
  int32_t Port = 61613;
  std::vector<TAddress> Brokers;  // every broker, in order; several only for the reconnect case
  bool TLS = false;  // only the library's program speaks it
};

// Every wait for the broker gives up after this long.
inline constexpr int32_t BrokerTimeoutMs = 60000;
// The last SEND asks for this receipt: its arrival shows the broker took every message.
inline constexpr std::string_view LastReceipt = "bench-last";

inline std::string TextBody(int32_t Number) { return "This is test message " + std::to_string(Number); }
inline std::string BulkBody() { return std::string(100, 'x'); }
// The cases whose texts are numbered; the other texts are the bulk one.
inline bool NumberedTexts(TCase Case) { return Case == TCase::SendText || Case == TCase::SendSync; }
inline std::string Body(TCase Case, int32_t Number) { return NumberedTexts(Case) ? TextBody(Number) : BulkBody(); }
// The body of a large case's bytes messages, 0 for the other cases.
inline size_t LargeBodySize(TCase Case) {
  constexpr size_t MiB = 1024 * 1024;
  if (Case == TCase::Send1MiB || Case == TCase::Receive1MiB) return MiB;
  if (Case == TCase::Send16MiB || Case == TCase::Receive16MiB) return 16 * MiB;
  return 0;
}

inline TCase ParseCase(std::string_view Name) {
  for (const auto& [Text, Case] : CaseNames)
    if (Text == Name) return Case;
  throw std::invalid_argument("unknown case " + std::string(Name));
}

inline std::string CaseList() {
  std::string List;
  for (const auto& Entry : CaseNames) List.append(List.empty() ? "" : "|").append(Entry.first);
  return List;
}

inline TAddress ParseHostPort(std::string_view Address) {
  const size_t Colon = Address.rfind(':');
  return {std::string(Address.substr(0, Colon)), std::stoi(std::string(Address.substr(Colon + 1)))};
}

// [ssl://]HOST:PORT, or for the reconnect case [ssl://]HOST:PORT,HOST:PORT,... (the
// scheme for all).
inline void ParseAddress(std::string_view Address, TOptions& Options) {
  constexpr std::string_view TLSScheme = "ssl://";
  Options.TLS = Address.starts_with(TLSScheme);
  if (Options.TLS) Address.remove_prefix(TLSScheme.size());
  Options.Brokers.clear();
  for (size_t Start = 0; Start <= Address.size();) {
    const size_t End = std::min(Address.find(',', Start), Address.size());
    Options.Brokers.push_back(ParseHostPort(Address.substr(Start, End - Start)));
    Start = End + 1;
  }
  if (Options.Brokers.size() > 1 && Options.Case != TCase::Reconnect)
    throw std::invalid_argument("only the reconnect case takes a list of brokers");
  Options.Host = Options.Brokers.front().Host;
  Options.Port = Options.Brokers.front().Port;
}

// CASE COUNT QUEUE [ADDRESS]
inline TOptions ParseOptions(int argc, char** argv) {
  if (argc < 4 || argc > 5)
    throw std::invalid_argument(std::string("usage: ") + argv[0] + " " + CaseList() +
                                " COUNT QUEUE [[ssl://]HOST:PORT[,HOST:PORT...]]");
  TOptions Options;
  Options.Case = ParseCase(argv[1]);
  Options.Count = std::stoi(argv[2]);
  Options.Queue = argv[3];
  if (argc == 5)
    ParseAddress(argv[4], Options);
  else
    Options.Brokers = {{Options.Host, Options.Port}};
  return Options;
}

// Wall-clock and CPU time (user + system, and user alone; all threads) from
// construction to Report.
class TWorkTimer {
public:
  TWorkTimer() : FUsageStart(Usage()), FStart(std::chrono::steady_clock::now()) {}

  void Report() const {
    const double Elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
    const rusage Now = Usage();
    const double User = Seconds(Now.ru_utime) - Seconds(FUsageStart.ru_utime);
    const double System = Seconds(Now.ru_stime) - Seconds(FUsageStart.ru_stime);
    std::printf("elapsed=%.6f cpu=%.6f user=%.6f\n", Elapsed, User + System, User);
    std::fflush(stdout);
  }

private:
  static rusage Usage() {
    rusage Result{};
    getrusage(RUSAGE_SELF, &Result);
    return Result;
  }
  static double Seconds(const timeval& Time) { return static_cast<double>(Time.tv_sec) + Time.tv_usec / 1e6; }

  rusage FUsageStart;
  std::chrono::steady_clock::time_point FStart;
};

}  // namespace vq::bench
