#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vq::test {

// A stand-in broker for protocol tests: a TCP server on 127.0.0.1 at an ephemeral port
// that accepts one connection, records every byte it receives and sends what the test
// tells it to. All members may be called from the test's thread while the peer's own
// thread receives in the background.
//
//   TScriptedPeer Peer;
//   Peer.SetAutoConnected(true);               // answer CONNECT with CONNECTED
//   Adapter.SetPort(Peer.Port());
//   ...
//   Peer.Send(std::string("MESSAGE\n\nhi\0\n", 13));
//   EXPECT_TRUE(Peer.WaitForReceived("ACK\n"));
//   Peer.Close();                              // or Reset() for a connection reset
class TScriptedPeer {
public:
  using TPredicate = std::function<bool(const std::string& Received)>;
  static constexpr std::chrono::milliseconds DefaultLimit{20000};

  TScriptedPeer();
  ~TScriptedPeer();
  TScriptedPeer(const TScriptedPeer&) = delete;
  TScriptedPeer& operator=(const TScriptedPeer&) = delete;

  int32_t Port() const { return FPort; }

  // Answer each CONNECT (or STOMP) frame, once it has arrived whole, with Reply; an
  // empty Reply switches answering off. The default reply is a CONNECTED frame with a
  // "session" header.
  void SetAutoConnected(bool Enabled, std::string Reply = DefaultConnectedFrame());
  static std::string DefaultConnectedFrame();

  // Waits until a client has connected; false when Limit passed first.
  bool WaitForConnection(std::chrono::milliseconds Limit = DefaultLimit);
  // Sends Bytes as they are; waits for the connection first and fails the test
  // (ADD_FAILURE) when there is none to send on.
  void Send(std::string_view Bytes);
  // Sends each chunk on its own, pausing between chunks, so they travel in separate
  // TCP segments.
  void SendChunks(const std::vector<std::string>& Chunks,
                  std::chrono::milliseconds Pause = std::chrono::milliseconds(20));

  // Everything received so far, in order.
  std::string Received() const;
  // Waits until Predicate holds for the received bytes, or until they contain Part.
  bool WaitForReceived(const TPredicate& Predicate, std::chrono::milliseconds Limit = DefaultLimit) const;
  bool WaitForReceived(std::string_view Part, std::chrono::milliseconds Limit = DefaultLimit) const;
  // Waits until the client has closed its side (the peer received end of stream).
  bool WaitForClientClose(std::chrono::milliseconds Limit = DefaultLimit) const;

  // Stops taking bytes from the connection, as a frozen broker would: the client's
  // writes then block once the buffers on the way are full.
  void StopReading();

  // Ends the connection in an orderly way (FIN), or resets it (RST, through SO_LINGER
  // 0). Both return once done; later sends fail the test.
  void Close();
  void Reset();

private:
  enum class TCommand { None, Close, Reset, Quit };

  void Run();
  bool Accept();
  void Serve();
  void ReceiveSome();
  void AnswerConnects();
  void SendRaw(std::string_view Bytes);
  void Order(TCommand Command);
  // Runs the ordered command on the peer's thread; false to leave.
  bool CarryOrder();
  void CloseConnection(bool Abortive);

  int FListener = -1;
  int FWakeRead = -1;
  int FWakeWrite = -1;
  int32_t FPort = 0;

  mutable std::mutex FLock;
  mutable std::condition_variable FChanged;
  int FConnection = -1;
  bool FConnected = false;
  bool FClientClosed = false;
  bool FReadingStopped = false;
  std::string FReceived;
  std::string FReply;
  size_t FAnsweredUpTo = 0;
  TCommand FCommand = TCommand::None;
  std::mutex FSendLock;

  std::thread FThread;
};

}  // namespace vq::test
