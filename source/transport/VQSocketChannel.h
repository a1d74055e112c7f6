#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace vq {

using TSocketDeadline = std::chrono::steady_clock::time_point;
inline constexpr TSocketDeadline NoSocketDeadline = TSocketDeadline::max();

// Milliseconds left until Deadline for poll: -1 without one, at least 0.
int PollTimeout(TSocketDeadline Deadline);
// Waits until Socket is ready for Events or Deadline passes; false on time-out. Raises
// EIdSocketError when polling fails.
bool AwaitSocket(int Socket, short Events, TSocketDeadline Deadline);

// What one non-blocking transfer on a connected socket did.
struct TTransfer {
  // Bytes moved.
  size_t Count = 0;
  // Nothing moved yet: the poll events (POLLIN, POLLOUT) to wait for before trying again.
  short Await = 0;
  // The peer closed its side.
  bool Ended = false;
  // Why the connection failed, as an errno value; EPROTO for a broken secure stream.
  int Error = 0;
};

// How bytes cross a connected socket: as they are, or through TLS. Receive and Send may
// run on two threads at once; neither ever blocks.
class ISocketChannel {
public:
  virtual ~ISocketChannel() = default;
  virtual TTransfer Receive(char* Buffer, size_t Size) = 0;
  virtual TTransfer Send(const char* Data, size_t Size) = 0;
  // Received bytes held inside the channel, which polling the socket would not announce.
  virtual bool HasBuffered() = 0;
  // Tells the peer that this side ends, without waiting; before the socket is shut down.
  virtual void SayGoodbye() = 0;
  // What broke the stream, when Error was EPROTO; empty otherwise.
  virtual std::string Failure() = 0;
};

// The socket's bytes as they are.
class TPlainChannel : public ISocketChannel {
public:
  explicit TPlainChannel(int Socket) : FSocket(Socket) {}
  TTransfer Receive(char* Buffer, size_t Size) override;
  TTransfer Send(const char* Data, size_t Size) override;
  bool HasBuffered() override { return false; }
  void SayGoodbye() override {}
  std::string Failure() override { return {}; }

private:
  const int FSocket;
};

}  // namespace vq
