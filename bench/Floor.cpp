// The floor that the broker sets for the end-to-end cases: a plain socket and nothing
// else. Sends write pre-encoded SEND frames, one write per frame; receives count NUL
// terminators and, with client acknowledgement, write one ACK per message.
//   vqstomp_floor_bench send-text|send-bytes|receive-client|receive-auto COUNT QUEUE [HOST:PORT]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

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

  void Write(std::string_view Data) {
    while (!Data.empty()) {
      const ssize_t Sent = send(FSocket, Data.data(), Data.size(), MSG_NOSIGNAL);
      if (Sent < 0) throw std::system_error(errno, std::generic_category(), "send");
      Data.remove_prefix(static_cast<size_t>(Sent));
    }
  }

  // The next whole frame, without its NUL; the LF the broker puts after it is skipped.
  std::string_view NextFrame() {
    for (;;) {
      while (FBegin < FEnd && FBuffer[FBegin] == '\n') ++FBegin;
      if (const void* Nul = std::memchr(FBuffer.data() + FBegin, 0, FEnd - FBegin)) {
        const auto End = static_cast<size_t>(static_cast<const char*>(Nul) - FBuffer.data());
        const std::string_view Frame(FBuffer.data() + FBegin, End - FBegin);
        FBegin = End + 1;
        return Frame;
      }
      Fill();
    }
  }

private:
  void Fill() {
    FEnd -= FBegin;
    std::memmove(FBuffer.data(), FBuffer.data() + FBegin, FEnd);
    FBegin = 0;
    if (FEnd == FBuffer.size()) FBuffer.resize(FBuffer.size() * 2);
    const ssize_t Received = recv(FSocket, FBuffer.data() + FEnd, FBuffer.size() - FEnd, 0);
    if (Received <= 0) throw std::system_error(errno, std::generic_category(), "recv");
    FEnd += static_cast<size_t>(Received);
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

void Run(const TOptions& Options) {
  TPlainSocket Socket(Options.Host, Options.Port);
  Socket.Write(Frame("CONNECT", ""));
  Expect(Socket.NextFrame(), "CONNECTED");
  if (Options.Case == TCase::SendText || Options.Case == TCase::SendBytes)
    SendFrames(Socket, Options);
  else
    ReceiveFrames(Socket, Options);
  Socket.Write(Frame("DISCONNECT", ""));
}

}  // namespace

int main(int argc, char** argv) {
  try {
    Run(ParseOptions(argc, argv));
    return 0;
  } catch (const std::exception& Error) {
    std::cerr << "Error: " << Error.what() << '\n';
    return 1;
  }
}
