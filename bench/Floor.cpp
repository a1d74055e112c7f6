// The floor that the broker sets for the end-to-end cases: a plain socket and nothing
// else. Sends write pre-encoded SEND frames, one write per frame; receives count NUL
// terminators and, with client acknowledgement, write one ACK per message.
//   vqstomp_floor_bench send-text|send-bytes|receive-client|receive-auto COUNT QUEUE [HOST:PORT]
// It also empties a queue that a failed run left behind, until the queue stays quiet:
//   vqstomp_floor_bench drain QUEUE [HOST:PORT]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "BenchSupport.h"

using namespace vq::bench;

namespace {

class TPlainSocket {
public:
  TPlainSocket(const std::string& Host, int32_t Port) : FSocket(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(static_cast<uint16_t>(Port));
    if (FSocket < 0 || inet_pton(AF_INET, Host.c_str(), &Address.sin_addr) != 1 ||
        connect(FSocket, reinterpret_cast<const sockaddr*>(&Address), sizeof Address) != 0)
      throw std::system_error(errno, std::generic_category(), "connect");
  }
  ~TPlainSocket() { close(FSocket); }
  TPlainSocket(const TPlainSocket&) = delete;
  TPlainSocket& operator=(const TPlainSocket&) = delete;

  void Write(std::string_view Data) {
    while (!Data.empty()) {
      const ssize_t Sent = send(FSocket, Data.data(), Data.size(), MSG_NOSIGNAL);
      if (Sent < 0) throw std::system_error(errno, std::generic_category(), "send");
      Data.remove_prefix(static_cast<size_t>(Sent));
    }
  }

  // The next whole frame, without its NUL; the LF the broker puts after it is skipped.
  std::string_view NextFrame() {
    std::string_view Frame;
    while (!TakeFrame(Frame))
      if (!Fill()) throw std::runtime_error("no frame within the receive time-out");
    return Frame;
  }

  // Whether a frame arrives before the receive time-out.
  bool SkipFrame() {
    std::string_view Frame;
    while (!TakeFrame(Frame))
      if (!Fill()) return false;
    return true;
  }

  void SetReceiveTimeout(std::chrono::seconds Timeout) {
    const timeval Value{static_cast<time_t>(Timeout.count()), 0};
    setsockopt(FSocket, SOL_SOCKET, SO_RCVTIMEO, &Value, sizeof Value);
  }

private:
  bool TakeFrame(std::string_view& Frame) {
    while (FBegin < FEnd && FBuffer[FBegin] == '\n') ++FBegin;
    const void* Nul = std::memchr(FBuffer.data() + FBegin, 0, FEnd - FBegin);
    if (Nul == nullptr) return false;
    const auto End = static_cast<size_t>(static_cast<const char*>(Nul) - FBuffer.data());
    Frame = std::string_view(FBuffer.data() + FBegin, End - FBegin);
    FBegin = End + 1;
    return true;
  }

  // False when the receive time-out passed first.
  bool Fill() {
    FEnd -= FBegin;
    std::memmove(FBuffer.data(), FBuffer.data() + FBegin, FEnd);
    FBegin = 0;
    if (FEnd == FBuffer.size()) FBuffer.resize(FBuffer.size() * 2);
    const ssize_t Received = recv(FSocket, FBuffer.data() + FEnd, FBuffer.size() - FEnd, 0);
    if (Received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    if (Received <= 0) throw std::system_error(errno, std::generic_category(), "recv");
    FEnd += static_cast<size_t>(Received);
    return true;
  }

  int FSocket;
  std::vector<char> FBuffer = std::vector<char>(65536);
  size_t FBegin = 0;
  size_t FEnd = 0;
};

std::string Frame(std::string_view Command, std::string_view Headers, std::string_view Body = {}) {
  return std::string(Command).append("\n").append(Headers).append("\n").append(Body).append(1, '\0');
}

std::string_view MessageID(std::string_view Frame) {
  constexpr std::string_view Key = "\nmessage-id:";
  const size_t Start = Frame.find(Key);
  if (Start == std::string_view::npos) throw std::runtime_error("no message-id header");
  const size_t Value = Start + Key.size();
  return Frame.substr(Value, Frame.find('\n', Value) - Value);
}

void Expect(std::string_view Frame, std::string_view Command) {
  if (!Frame.starts_with(std::string(Command) + "\n"))
    throw std::runtime_error("expected " + std::string(Command) + ", got " + std::string(Frame.substr(0, 200)));
}

void SendFrames(TPlainSocket& Socket, const TOptions& Options) {
  const std::string Destination = "destination:" + Options.Queue + "\n";
  std::vector<std::string> Frames;
  Frames.reserve(static_cast<size_t>(Options.Count));
  for (int32_t Number = 1; Number <= Options.Count; ++Number) {
    const bool Last = Number == Options.Count;
    const std::string Receipt = Last ? "receipt:" + std::string(LastReceipt) + "\n" : "";
    Frames.push_back(Frame("SEND", Destination + Receipt, Body(Options.Case, Number)));
  }
  const TWorkTimer Timer;
  for (const auto& Encoded : Frames) Socket.Write(Encoded);
  Expect(Socket.NextFrame(), "RECEIPT");
  Timer.Report();
}

void ReceiveFrames(TPlainSocket& Socket, const TOptions& Options) {
  const bool ClientAck = Options.Case == TCase::ReceiveClient;
  const TWorkTimer Timer;
  Socket.Write(Frame("SUBSCRIBE", "destination:" + Options.Queue + "\nack:" + (ClientAck ? "client" : "auto") + "\n"));
  std::string Ack;
  for (int32_t Number = 1; Number <= Options.Count; ++Number) {
    const std::string_view Message = Socket.NextFrame();
    Expect(Message, "MESSAGE");
    if (!ClientAck) continue;
    Ack.assign("ACK\nmessage-id:").append(MessageID(Message)).append("\n\n\0", 3);
    Socket.Write(Ack);
  }
  Timer.Report();
}

void Handshake(TPlainSocket& Socket) {
  Socket.SetReceiveTimeout(std::chrono::seconds(BrokerTimeoutMs / 1000));
  Socket.Write(Frame("CONNECT", ""));
  Expect(Socket.NextFrame(), "CONNECTED");
}

void Run(const TOptions& Options) {
  // The floor is plain sockets and the four message cases, nothing else.
  if (Options.TLS) throw std::invalid_argument("the floor speaks no TLS");
  if (Options.Case != TCase::SendText && Options.Case != TCase::SendBytes && Options.Case != TCase::ReceiveClient &&
      Options.Case != TCase::ReceiveAuto)
    throw std::invalid_argument("the floor runs only send-text, send-bytes, receive-client and receive-auto");
  TPlainSocket Socket(Options.Host, Options.Port);
  Handshake(Socket);
  if (Options.Case == TCase::SendText || Options.Case == TCase::SendBytes)
    SendFrames(Socket, Options);
  else
    ReceiveFrames(Socket, Options);
  Socket.Write(Frame("DISCONNECT", ""));
}

// QUEUE [HOST:PORT]
void Drain(int argc, char** argv) {
  if (argc < 3 || argc > 4) throw std::invalid_argument(std::string("usage: ") + argv[0] + " drain QUEUE [HOST:PORT]");
  TOptions Options;
  Options.Queue = argv[2];
  if (argc == 4) ParseAddress(argv[3], Options);
  TPlainSocket Socket(Options.Host, Options.Port);
  Handshake(Socket);
  Socket.SetReceiveTimeout(std::chrono::seconds(1));
  Socket.Write(Frame("SUBSCRIBE", "destination:" + Options.Queue + "\nack:auto\n"));
  int32_t Count = 0;
  while (Socket.SkipFrame()) ++Count;
  Socket.Write(Frame("DISCONNECT", ""));
  std::cout << "drained=" << Count << '\n';
}


}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc > 1 && std::string_view(argv[1]) == "drain")
      Drain(argc, argv);
    else
      Run(ParseOptions(argc, argv));
    return 0;
  } catch (const std::exception& Error) {
    std::cerr << "Error: " << Error.what() << '\n';
    return 1;
  }
}
