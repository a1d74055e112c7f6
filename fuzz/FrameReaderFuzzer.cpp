// Bytes from a broker reach the frame reader through a real socket, cut into pieces as
// the input's first byte says: every frame the reader finds must be one that Parse
// takes or refuses with the library's own exception, and nothing may crash or hang.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include <vqstomp/VQStompFrame.h>

#include "LoopbackListener.h"
#include "stomp/VQStompFrameReader.h"
#include "transport/VQCommAdapterIndy.h"

namespace {

// A listening socket on loopback, made once per process.
int Listener(int32_t& Port) {
  static int Socket = -1;
  static int32_t Bound = 0;
  if (Socket < 0) {
    Socket = vq::test::ListenOnLoopback(Bound);
  }
  Port = Bound;
  return Socket;
}

// Plays the broker: answers with CONNECTED, sends the input in pieces, then closes.
void Serve(int Socket, std::string_view Input, size_t Piece) {
  const int Connection = accept(Socket, nullptr, nullptr);
  if (Connection < 0) return;
  const std::string Connected("CONNECTED\n\n\0", 12);
  (void)!send(Connection, Connected.data(), Connected.size(), MSG_NOSIGNAL);
  for (size_t At = 0; At < Input.size(); At += Piece)
    if (send(Connection, Input.data() + At, std::min(Piece, Input.size() - At), MSG_NOSIGNAL) < 0) break;
  close(Connection);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  const size_t Piece = Data[0] % 64 + 1;
  const std::string_view Input(reinterpret_cast<const char*>(Data) + 1, Size - 1);
  int32_t Port = 0;
  const int Socket = Listener(Port);
  std::thread Broker(Serve, Socket, Input, Piece);
  vq::TVQStompFrameReader Reader(64 * 1024);
  vq::TVQCommAdapterIndy Adapter;
  Adapter.SetFrameBoundary(&Reader);
  Adapter.SetHost("127.0.0.1");
  Adapter.SetPort(Port);
  Adapter.SetConnectTimeout(2000);
  Adapter.SetOnDataAvailable([](vq::IStompCommAdapter&, std::string_view Frame) {
    try {
      (void)vq::TVQStompFrame::Parse(Frame);
    } catch (const vq::Exception&) {
    }
  });
  try {
    Adapter.Connect();
    while (Adapter.ReceiveFrame(2000)) {
    }
  } catch (const vq::Exception&) {
  }
  Adapter.Disconnect();
  Broker.join();
  return 0;
}
