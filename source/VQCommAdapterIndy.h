#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "VQCommAdapter.h"
#include "VQThread.h"

namespace vq {

// The operating system refused a socket operation: "Socket Error # <errno>\r\n<text>".
class EIdSocketError : public EVQCommError {
public:
  explicit EIdSocketError(int ErrorCode);
  EIdSocketError(int ErrorCode, const std::string& Text);
  int GetLastError() const { return FErrorCode; }

private:
  int FErrorCode;
};

// The peer closed the connection, or it was never open.
class EIdConnClosedGracefully : public EVQCommError {
public:
  EIdConnClosedGracefully() : EVQCommError("Connection Closed Gracefully.") {}
};

// No terminator within the line limit.
class EIdMaxLineLengthExceeded : public EVQCommError {
public:
  EIdMaxLineLengthExceeded() : EVQCommError("Max line length exceeded.") {}
};

// Bytes received and not yet consumed. Consuming only moves a read offset; the storage is
// compacted when room is needed, so a byte is moved a bounded number of times.
class TReceiveBuffer {
public:
  std::string_view Unread() const { return {FData.get() + FBegin, FEnd - FBegin}; }
  void Consume(size_t Count);
  // Room for Count more bytes at the end; Commit makes the bytes written there unread.
  char* Reserve(size_t Count);
  void Commit(size_t Count) { FEnd += Count; }
  void Clear() { FBegin = FEnd = 0; }

private:
  std::unique_ptr<char[]> FData;
  size_t FCapacity = 0;
  size_t FBegin = 0;
  size_t FEnd = 0;
};

// A TCP client socket with a receive buffer. Writing may happen on any thread; reading
// on one thread at a time. The socket is released only by Connect, Disconnect and the
// destructor, so a reader never finds its descriptor reused by another file.
class TIdStompClient {
public:
  using TWait = std::chrono::milliseconds;
  static constexpr TWait NoLimit = TWait::max();
  using TDeadline = std::chrono::steady_clock::time_point;
  static constexpr TDeadline NoDeadline = TDeadline::max();

  TIdStompClient() = default;
  ~TIdStompClient();
  TIdStompClient(const TIdStompClient&) = delete;
  TIdStompClient& operator=(const TIdStompClient&) = delete;

  void SetHost(const std::string& Value) { FHost = Value; }
  const std::string& GetHost() const { return FHost; }
  void SetPort(int32_t Value) { FPort = Value; }
  int32_t GetPort() const { return FPort; }

  // Opens a connection to Host:Port (IPv4), closing an earlier one first.
  void Connect();
  // Closes the socket and forgets unread bytes.
  void Disconnect();
  // Ends the connection in both directions, so that a blocked read returns at once.
  void Shutdown();
  // Open, and not closed by the peer.
  bool IsOpen() const { return FSocket >= 0 && !FClosedByPeer; }
  // Takes bytes already waiting without blocking, then: open, or a frame's bytes remain
  // unread.
  bool Connected();
  // Sends all of Data; writes from several threads do not interleave.
  void Write(std::string_view Data);

  // Reading, one thread at a time. Every wait first fails with EIdConnClosedGracefully
  // when the connection is closed, even if unread bytes remain.
  std::string_view Unread() const { return FBuffer.Unread(); }
  void Consume(size_t Count) { FBuffer.Consume(Count); }
  // Drops bytes up to 0x20 at the front, waiting up to Wait for others. Returns whether
  // a byte above 0x20 is now at the front.
  bool AwaitContent(TWait Wait);
  // Waits until Terminator is unread and returns its offset in the unread bytes; fails
  // with EIdMaxLineLengthExceeded once more than MaxLength bytes would precede it.
  size_t AwaitTerminator(std::string_view Terminator, size_t MaxLength);
  void AwaitBytes(size_t Count);

private:
  // False when Deadline passed first.
  bool AwaitMore(TDeadline Deadline = NoDeadline);
  // Waits until readable or Deadline, then takes one receive. False on time-out.
  bool ReceiveMore(TDeadline Deadline);
  void HandleReceiveError(int ErrorCode);

  std::string FHost;
  int32_t FPort = 0;
  std::atomic<int> FSocket{-1};
  std::atomic<bool> FClosedByPeer{false};
  std::mutex FWriteLock;
  TReceiveBuffer FBuffer;
};

class TVQCommAdapterIndy;

// Reads frames in the background and delivers them.
class TVQStompReadThread : public TVQThread {
public:
  explicit TVQStompReadThread(TVQCommAdapterIndy& Adapter) : FAdapter(Adapter) {}
  ~TVQStompReadThread() override { TerminateAndWaitFor(); }

protected:
  void Step() override;

private:
  bool ReadFrame();
  void Deliver();

  TVQCommAdapterIndy& FAdapter;
  std::string FFrameText;
};

// STOMP frames over one TCP connection. The destructor ends the read thread and closes
// the socket; it must not run on the read thread itself.
class TVQCommAdapterIndy : public TVQCommAdapter {
public:
  static constexpr int32_t DefaultMaxLineLength = 16384;

  TVQCommAdapterIndy() = default;
  ~TVQCommAdapterIndy() override;

  void SetPort(int32_t Port) override { FClient.SetPort(Port); }
  int32_t GetPort() const override { return FClient.GetPort(); }
  void SetHost(const std::string& Host) override { FClient.SetHost(Host); }
  std::string GetHost() const override { return FClient.GetHost(); }
  void Connect() override;
  void Disconnect() override;
  bool Connected() override;
  bool ReceiveFrame(int32_t Timeout) override;
  void StartReceiving() override;
  void StopReceiving() override;
  bool IsReceiving() const override;
  void Write(std::string_view Data) override { FClient.Write(Data); }
  std::string GetName() const override { return "TVQCommAdapterIndy"; }

  // Most bytes allowed before a terminator: the header block, or a body without
  // content-length.
  int32_t GetMaxLineLength() const { return FMaxLineLength; }
  void SetMaxLineLength(int32_t Value) { FMaxLineLength = Value; }

private:
  friend class TVQStompReadThread;

  bool ReadFrame(std::string& Text, TIdStompClient::TWait Wait, const TVQThread* Reader = nullptr);
  void ReadBody(std::string& Text);
  void EndReadThread();
  void CloseSocket();
  size_t MaxLineLength() const { return static_cast<size_t>(std::max(FMaxLineLength.load(), 0)); }

  TIdStompClient FClient;
  // Keeps ReceiveFrame and a read thread that is still finishing a frame apart.
  std::mutex FReadLock;
  std::atomic<int32_t> FMaxLineLength{DefaultMaxLineLength};
  std::unique_ptr<TVQStompReadThread> FReadThread;
};

}  // namespace vq
