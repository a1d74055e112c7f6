#pragma once

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "transport/VQCommAdapter.h"
#include "transport/VQSocketChannel.h"
#include "transport/VQThread.h"

namespace vq {

// Bytes received and not yet consumed. Consuming only moves a read offset; the storage is
// compacted when room is needed, so a byte is moved a bounded number of times.
class TReceiveBuffer {
public:
  // Storage larger than this is given back once its bytes are consumed or taken.
  static constexpr size_t KeptCapacity = 1024 * 1024;

  std::string_view Unread() const { return std::string_view(FData).substr(FBegin, FEnd - FBegin); }
  void Consume(size_t Count);
  // Room for Count more bytes at the end; Commit makes the bytes written there unread.
  // Whole, when known, is the size the unread bytes will reach: storage that must grow
  // grows to it at once, not by doubling.
  char* Reserve(size_t Count, size_t Whole = 0);
  void Commit(size_t Count) { FEnd += Count; }
  void Clear() { FBegin = FEnd = 0; }
  // Moves the first Count unread bytes into Text; a large run takes the storage along
  // rather than a copy of it.
  void Take(size_t Count, std::string& Text);

private:
  // Its size is the capacity: the bytes past FEnd are room.
  std::string FData;
  size_t FBegin = 0;
  size_t FEnd = 0;
};

// One holder at a time, waiting for its turn with a deadline. A std::timed_mutex would do,
// but ThreadSanitizer does not see its timed lock and reports every unlock.
class TTurn {
public:
  using TWait = std::chrono::milliseconds;
  static constexpr TWait NoLimit = TWait::max();

  // False when the turn did not come within Wait. A free turn costs no clock reading.
  bool Take(TWait Wait);
  void Give();

  // Holds the turn for a scope, once it came within Wait.
  class THold {
  public:
    explicit THold(TTurn& Turn, TWait Wait = NoLimit) : FTurn(Turn), FHeld(Turn.Take(Wait)) {}
    ~THold() {
      if (FHeld) FTurn.Give();
    }
    THold(const THold&) = delete;
    THold& operator=(const THold&) = delete;
    explicit operator bool() const { return FHeld; }

  private:
    TTurn& FTurn;
    const bool FHeld;
  };

private:
  bool TryTake();

  // Sequentially consistent, so that a giver that sees no waiter missed none.
  std::atomic<bool> FTaken{false};
  std::atomic<int32_t> FWaiting{0};
  std::mutex FLock;
  std::condition_variable FFree;
};

// A TCP client socket with a receive buffer, its bytes carried by a channel (plain or
// TLS). Writing may happen on any thread; reading on one thread at a time. Every wait
// has a deadline. The socket is released only by Connect, Disconnect and the destructor,
// so a reader never finds its descriptor reused by another file.
class TIdStompClient {
public:
  using TWait = std::chrono::milliseconds;
  static constexpr TWait NoLimit = TWait::max();
  using TDeadline = TSocketDeadline;
  static constexpr TDeadline NoDeadline = NoSocketDeadline;
  // Sets up the channel over a socket just connected to the host, by Deadline.
  using TChannelOpener = std::function<std::unique_ptr<ISocketChannel>(int Socket, TDeadline Deadline)>;

  TIdStompClient() = default;
  ~TIdStompClient();
  TIdStompClient(const TIdStompClient&) = delete;
  TIdStompClient& operator=(const TIdStompClient&) = delete;

  void SetHost(const std::string& Value) { FHost = Value; }
  const std::string& GetHost() const { return FHost; }
  void SetPort(int32_t Value) { FPort = Value; }
  int32_t GetPort() const { return FPort; }
  // "host:port", for messages.
  std::string Address() const { return FHost + ":" + std::to_string(FPort); }
  // Without one, the bytes travel as they are.
  void SetChannelOpener(TChannelOpener Opener) { FOpenChannel = std::move(Opener); }

  // Opens a connection to Host:Port (IPv4) and its channel, closing an earlier one
  // first; EIdTimeout when the connection is not up by Deadline.
  void Connect(TDeadline Deadline);
  // Closes the socket and forgets unread bytes.
  void Disconnect();
  // Tells the peer that this side ends, unless a write is busy; before Shutdown.
  void SayGoodbye();
  // Ends the connection in both directions, so that a blocked read or write returns at once.
  void Shutdown();
  // Open, and neither closed by the peer nor broken.
  bool IsOpen() const { return FSocket >= 0 && !FClosedByPeer; }
  // Breaks the connection: reads and writes fail as after a time-out.
  void Abandon() { Break(ETIMEDOUT); }
  // When bytes last arrived and a write last ended, once TrackActivity was called; the
  // clock is read only then.
  void TrackActivity();
  TDeadline LastReceived() const { return TDeadline(TDeadline::duration(FLastReceived.load())); }
  TDeadline LastWritten() const { return TDeadline(TDeadline::duration(FLastWritten.load())); }
  // Takes bytes already waiting without blocking, then: open, or bytes of a frame (as
  // Boundary tells padding apart) remain unread.
  bool Connected(IFrameBoundary* Boundary);
  // Sends all of Data; writes from several threads do not interleave. Raises EIdTimeout
  // when the kernel takes none of the bytes left for Timeout; the connection is then
  // broken, since a frame cut in two cannot be taken back.
  void Write(std::string_view Data, TWait Timeout) { Write(std::span(&Data, 1), Timeout); }
  // The same for parts sent one after the other, as one write.
  void Write(std::span<const std::string_view> Parts, TWait Timeout);

  // Reading, one thread at a time.
  std::string_view Unread() const { return FBuffer.Unread(); }
  // Moves the first Count unread bytes, a frame's, into Text.
  void TakeFrame(size_t Count, std::string& Text) { FBuffer.Take(Count, Text); }
  // The connection's first bytes were a TLS record, where a STOMP frame was expected.
  bool AnsweredInTLS() const { return FAnsweredInTLS; }
  void Consume(size_t Count) { FBuffer.Consume(Count); }
  // Waits until the unread bytes begin with a whole frame, as Boundary finds frames, and
  // returns its length; none when Wait passed first. A partial frame stays buffered.
  // Once the connection is closed, fails with EIdConnClosedGracefully, with
  // EIdConnClosedMidFrame when part of a frame was left, or with the reset's socket error.
  // A stream the boundary cannot make sense of breaks the connection: EIdUntrustedStream.
  std::optional<size_t> AwaitFrame(IFrameBoundary& Boundary, TWait Wait);

private:
  // False when Deadline passed first. Expected: the size of the frame begun, if known.
  bool AwaitMore(TDeadline Deadline, size_t Expected = 0);
  // Waits until readable or Deadline, then takes one receive. False on time-out.
  bool ReceiveMore(TDeadline Deadline, size_t Expected = 0);
  // Sends Data under the write turn.
  void SendAll(std::string_view Data, TWait Timeout);
  void HandleReceiveError(int ErrorCode);
  void Touch(std::atomic<TDeadline::rep>& Moment) const;
  [[noreturn]] void RaiseClosed() const;
  [[noreturn]] void RaiseFailure(int ErrorCode) const;
  void Break(int ErrorCode);

  std::string FHost;
  int32_t FPort = 0;
  TChannelOpener FOpenChannel;
  std::atomic<int> FSocket{-1};
  // Replaced only with the socket, under the write turn and with no reader.
  std::unique_ptr<ISocketChannel> FChannel;
  // What the next receive waits for: TLS may need to write before it can read.
  short FReceiveAwait = 0;
  bool FHeardAny = false;
  bool FAnsweredInTLS = false;
  std::atomic<bool> FClosedByPeer{false};
  // Why the connection ended, when a reset or a failed write ended it.
  std::atomic<int> FFailure{0};
  TTurn FWriteTurn;
  TReceiveBuffer FBuffer;
  std::atomic<bool> FTracking{false};
  std::atomic<TDeadline::rep> FLastReceived{0};
  std::atomic<TDeadline::rep> FLastWritten{0};
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

// STOMP frames over one TCP connection; where a frame ends is the frame boundary's to
// tell. The destructor ends the read thread and closes the socket; it must not run on the
// read thread itself.
class TVQCommAdapterIndy : public TVQCommAdapter {
public:
  TVQCommAdapterIndy() = default;
  ~TVQCommAdapterIndy() override;

  void SetPort(int32_t Port) override { FClient.SetPort(Port); }
  int32_t GetPort() const override { return FClient.GetPort(); }
  void SetHost(const std::string& Host) override { FClient.SetHost(Host); }
  std::string GetHost() const override { return FClient.GetHost(); }
  // Connects, writes CONNECT and reads the answer, all within the connect time-out.
  void Connect() override;
  // Returns within about a second, whatever another thread is doing with the socket.
  void Disconnect() override;
  bool Connected() override;
  bool ReceiveFrame(int32_t Timeout) override;
  void StartReceiving() override;
  void StopReceiving() override;
  bool IsReceiving() const override;
  void Write(std::string_view Data) override { WriteWithin(Data, GetWriteTimeout()); }
  void WriteWithin(std::string_view Data, int32_t Timeout) override;
  void WriteParts(std::span<const std::string_view> Parts) override;
  void TrackActivity() override { FClient.TrackActivity(); }
  std::chrono::steady_clock::time_point LastReceived() const override { return FClient.LastReceived(); }
  std::chrono::steady_clock::time_point LastWritten() const override { return FClient.LastWritten(); }
  void Abandon() override { FClient.Abandon(); }
  std::string GetName() const override { return "TVQCommAdapterIndy"; }

protected:
  // How the bytes of the next connections travel; plain without one.
  void SetChannelOpener(TIdStompClient::TChannelOpener Opener) { FClient.SetChannelOpener(std::move(Opener)); }

private:
  friend class TVQStompReadThread;

  bool ReadFrame(std::string& Text, TIdStompClient::TWait Wait, const TVQThread* Reader = nullptr);
  // The boundary that was set; raises EVQCommError without one.
  IFrameBoundary& FrameBoundary() const;
  void EndReadThread();
  void CloseSocket();

  TIdStompClient FClient;
  // Keeps ReceiveFrame and a read thread that is still finishing a frame apart.
  std::mutex FReadLock;
  std::unique_ptr<TVQStompReadThread> FReadThread;
};

}  // namespace vq
