#include "transport/VQCommAdapterIndy.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

#include "transport/VQSynchronize.h"

namespace vq {

namespace {

using namespace std::chrono_literals;

constexpr size_t ReceiveChunk = 32768;
constexpr auto IdlePass = 50ms;

// The peer went away: a receive still delivers what is buffered.
bool IsConnectionLoss(int ErrorCode) {
  return ErrorCode == ECONNRESET || ErrorCode == ECONNABORTED || ErrorCode == EPIPE || ErrorCode == ESHUTDOWN ||
         ErrorCode == ENOTCONN || ErrorCode == EPROTO;
}

TIdStompClient::TDeadline DeadlineAfter(TIdStompClient::TWait Wait) {
  if (Wait == TIdStompClient::NoLimit) return TIdStompClient::NoDeadline;
  return std::chrono::steady_clock::now() + Wait;
}

// The interface's time-outs in ms, where 0 or less means no limit.
TIdStompClient::TWait WaitOf(int32_t Milliseconds) {
  return Milliseconds > 0 ? TIdStompClient::TWait(Milliseconds) : TIdStompClient::NoLimit;
}

// A TLS record (an alert or a handshake) where a STOMP frame was expected.
bool LooksLikeTLS(std::string_view Bytes) {
  return Bytes.size() >= 3 && (Bytes[0] == 0x15 || Bytes[0] == 0x16) && Bytes[1] == 0x03 &&
         static_cast<uint8_t>(Bytes[2]) <= 0x04;
}

// Keeps a frame text's storage for the next frame, unless a large frame grew it.
void Recycle(std::string& Text) {
  if (Text.capacity() > TReceiveBuffer::KeptCapacity)
    std::string().swap(Text);
  else
    Text.clear();
}

int32_t MillisecondsLeft(TIdStompClient::TDeadline Deadline) {
  if (Deadline == TIdStompClient::NoDeadline) return 0;
  return std::max(PollTimeout(Deadline), 1);
}

sockaddr_in Resolve(const std::string& Host, int32_t Port) {
  addrinfo Hints{};
  Hints.ai_family = AF_INET;
  Hints.ai_socktype = SOCK_STREAM;
  addrinfo* Found = nullptr;
  if (const int Code = getaddrinfo(Host.c_str(), nullptr, &Hints, &Found); Code != 0) {
    if (Code == EAI_SYSTEM) throw EIdSocketError(errno);
    throw EIdSocketError(Code, gai_strerror(Code));
  }
  sockaddr_in Address;
  std::memcpy(&Address, Found->ai_addr, sizeof Address);
  freeaddrinfo(Found);
  Address.sin_port = htons(static_cast<uint16_t>(Port));
  return Address;
}

// Non-blocking from the start, so that connecting, reading and writing all keep deadlines.
int OpenSocket(const std::string& Host, int32_t Port, TIdStompClient::TDeadline Deadline) {
  if (Host.empty()) throw EVQCommError("Host must be specified.");
  if (Port < 1 || Port > 65535) throw EVQCommError("Port must be between 1 and 65535.");
  const sockaddr_in Target = Resolve(Host, Port);
  const int Socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (Socket < 0) throw EIdSocketError(errno);
  try {
    if (connect(Socket, reinterpret_cast<const sockaddr*>(&Target), sizeof Target) != 0) {
      if (errno != EINPROGRESS) throw EIdSocketError(errno);
      if (!AwaitSocket(Socket, POLLOUT, Deadline)) throw EIdTimeout("Could not connect to");
      int Error = 0;
      socklen_t Size = sizeof Error;
      if (getsockopt(Socket, SOL_SOCKET, SO_ERROR, &Error, &Size) != 0) Error = errno;
      if (Error != 0) throw EIdSocketError(Error);
    }
  } catch (...) {
    close(Socket);
    throw;
  }
  return Socket;
}

}  // namespace

void TReceiveBuffer::Consume(size_t Count) {
  FBegin += Count;
  if (FBegin != FEnd) return;
  Clear();
  // Storage that a large frame grew is given back, not kept for the next small one.
  if (FData.size() > KeptCapacity) std::string().swap(FData);
}

char* TReceiveBuffer::Reserve(size_t Count, size_t Whole) {
  if (FData.size() - FEnd >= Count) return FData.data() + FEnd;
  const size_t Size = FEnd - FBegin;
  // Moving the unread bytes to the front pays off only when it frees at least as much.
  if (Size + Count <= FData.size() / 2) {
    std::memmove(FData.data(), FData.data() + FBegin, Size);
  } else {
    std::string Data(Whole >= Size + Count ? Whole : std::max(FData.size() * 2, Size + Count), '\0');
    std::memcpy(Data.data(), FData.data() + FBegin, Size);
    FData = std::move(Data);
  }
  FBegin = 0;
  FEnd = Size;
  return FData.data() + FEnd;
}

void TReceiveBuffer::Take(size_t Count, std::string& Text) {
  if (Count < KeptCapacity) {
    Text.assign(Unread().substr(0, Count));
    return Consume(Count);
  }
  // What follows the run, a few bytes at most, moves instead.
  std::string Rest(Unread().substr(Count));
  Text = std::move(FData);
  Text.resize(FBegin + Count);
  Text.erase(0, FBegin);
  FData = std::move(Rest);
  FBegin = 0;
  FEnd = FData.size();
}

// A free turn is taken with one atomic exchange; only a contended one uses the lock.
bool TTurn::Take(TWait Wait) {
  if (TryTake()) return true;
  std::unique_lock Guard(FLock);
  ++FWaiting;
  const auto Taken = [this] { return TryTake(); };
  const bool Came = Wait == NoLimit ? (FFree.wait(Guard, Taken), true) : FFree.wait_for(Guard, Wait, Taken);
  --FWaiting;
  return Came;
}

bool TTurn::TryTake() {
  bool Free = false;
  return FTaken.compare_exchange_strong(Free, true);
}

void TTurn::Give() {
  FTaken = false;
  if (FWaiting == 0) return;
  std::lock_guard Guard(FLock);
  FFree.notify_one();
}

TIdStompClient::~TIdStompClient() { Disconnect(); }

void TIdStompClient::Connect(TDeadline Deadline) {
  Disconnect();
  FTracking = false;
  const int Socket = OpenSocket(FHost, FPort, Deadline);
  std::unique_ptr<ISocketChannel> Channel;
  try {
    Channel = FOpenChannel ? FOpenChannel(Socket, Deadline) : std::make_unique<TPlainChannel>(Socket);
  } catch (...) {
    close(Socket);
    throw;
  }
  const TTurn::THold Hold(FWriteTurn);
  FBuffer.Clear();
  FClosedByPeer = false;
  FFailure = 0;
  FChannel = std::move(Channel);
  FReceiveAwait = POLLIN;
  FHeardAny = FAnsweredInTLS = false;
  FSocket = Socket;
}

void TIdStompClient::SayGoodbye() {
  if (!FChannel || !IsOpen()) return;
  // A write in progress owns the stream; the goodbye is only a courtesy.
  const TTurn::THold Hold(FWriteTurn, TWait::zero());
  if (Hold) FChannel->SayGoodbye();
}

void TIdStompClient::Disconnect() {
  Shutdown();
  const TTurn::THold Hold(FWriteTurn);
  if (const int Socket = FSocket.exchange(-1); Socket >= 0) close(Socket);
  FChannel.reset();
  FBuffer.Clear();
}

void TIdStompClient::Shutdown() {
  if (const int Socket = FSocket; Socket >= 0) shutdown(Socket, SHUT_RDWR);
}

void TIdStompClient::TrackActivity() {
  const auto Now = std::chrono::steady_clock::now().time_since_epoch().count();
  FLastReceived = Now;
  FLastWritten = Now;
  FTracking = true;
}

void TIdStompClient::Touch(std::atomic<TDeadline::rep>& Moment) const {
  if (FTracking.load(std::memory_order_relaxed)) Moment = std::chrono::steady_clock::now().time_since_epoch().count();
}

void TIdStompClient::Break(int ErrorCode) {
  FFailure = ErrorCode;
  FClosedByPeer = true;
  Shutdown();
}

bool TIdStompClient::Connected(IFrameBoundary* Boundary) {
  try {
    ReceiveMore(std::chrono::steady_clock::now());
    if (Boundary) Consume(Boundary->Measure(Unread()).Padding);
  } catch (const Exception&) {
    return false;
  }
  return IsOpen() || !Unread().empty();
}

void TIdStompClient::Write(std::span<const std::string_view> Parts, TWait Timeout) {
  if (std::all_of(Parts.begin(), Parts.end(), [](std::string_view Part) { return Part.empty(); })) return;
  const TTurn::THold Hold(FWriteTurn, Timeout);
  if (!Hold) throw EIdTimeout("Another write to " + Address() + " did not end in time");
  if (!IsOpen()) throw EIdConnClosedGracefully();
  for (const std::string_view Part : Parts) SendAll(Part, Timeout);
  Touch(FLastWritten);
}

void TIdStompClient::SendAll(std::string_view Data, TWait Timeout) {
  while (!Data.empty()) {
    const TTransfer Sent = FChannel->Send(Data.data(), Data.size());
    if (Sent.Count > 0) {
      Data.remove_prefix(Sent.Count);
    } else if (Sent.Await != 0) {
      // The time-out counts from the last progress: a large frame may take longer.
      if (AwaitSocket(FSocket, Sent.Await, DeadlineAfter(Timeout))) continue;
      Break(ETIMEDOUT);
      throw EIdTimeout("Writing to " + Address() + " timed out; the connection is closed");
    } else if (Sent.Error != 0 || Sent.Ended) {
      const int ErrorCode = Sent.Error != 0 ? Sent.Error : EPIPE;
      if (IsConnectionLoss(ErrorCode)) Break(ErrorCode);
      RaiseFailure(ErrorCode);
    }
  }
}

std::optional<size_t> TIdStompClient::AwaitFrame(IFrameBoundary& Boundary, TWait Wait) {
  // A frame already buffered needs no reading of the clock.
  std::optional<TDeadline> Deadline;
  for (;;) {
    TFrameExtent Extent;
    try {
      Extent = Boundary.Measure(Unread());
    } catch (const Exception& Error) {
      // Where the next frame starts is a guess now: nothing more is read from this stream.
      Break(EPROTO);
      throw EIdUntrustedStream(Error.what());
    }
    Consume(Extent.Padding);
    if (Extent.Length > 0) return Extent.Length;
    if (!Deadline) Deadline = DeadlineAfter(Wait);
    if (!AwaitMore(*Deadline, Extent.Expected)) return std::nullopt;
  }
}

bool TIdStompClient::AwaitMore(TDeadline Deadline, size_t Expected) {
  if (!IsOpen()) RaiseClosed();
  return ReceiveMore(Deadline, Expected);
}

// A reset is named as such; an end of stream inside a frame says so.
void TIdStompClient::RaiseClosed() const {
  if (const int Failure = FFailure; Failure != 0) RaiseFailure(Failure);
  if (FSocket < 0 || Unread().empty()) throw EIdConnClosedGracefully();
  throw EIdConnClosedMidFrame(Unread().size());
}

// A broken secure stream says what broke it.
void TIdStompClient::RaiseFailure(int ErrorCode) const {
  if (ErrorCode == EPROTO && FChannel)
    if (std::string Failure = FChannel->Failure(); !Failure.empty()) throw EVQTLSError(Failure);
  throw EIdSocketError(ErrorCode);
}

bool TIdStompClient::ReceiveMore(TDeadline Deadline, size_t Expected) {
  if (!FChannel) return false;
  if (!FChannel->HasBuffered() && !AwaitSocket(FSocket, FReceiveAwait, Deadline)) return false;
  // A large frame of known size is read up to its end into room made for it at once;
  // small ones come many to a receive.
  const size_t Have = Unread().size();
  const bool Large = Expected > ReceiveChunk && Expected > Have;
  const size_t Count = Large ? std::min(ReceiveChunk, Expected - Have) : ReceiveChunk;
  char* const Room = FBuffer.Reserve(Count, Large ? Expected : 0);
  const TTransfer Received = FChannel->Receive(Room, Count);
  FReceiveAwait = Received.Await != 0 ? Received.Await : POLLIN;
  if (Received.Count > 0) {
    if (!std::exchange(FHeardAny, true)) FAnsweredInTLS = LooksLikeTLS({Room, Received.Count});
    FBuffer.Commit(Received.Count);
    Touch(FLastReceived);
  } else if (Received.Ended) {
    FClosedByPeer = true;
  } else if (Received.Error != 0) {
    HandleReceiveError(Received.Error);
  }
  return true;
}

// What is buffered is still read after a loss; the loss itself comes after it.
void TIdStompClient::HandleReceiveError(int ErrorCode) {
  if (!IsConnectionLoss(ErrorCode)) RaiseFailure(ErrorCode);
  FFailure = ErrorCode;
  FClosedByPeer = true;
}

void TVQStompReadThread::Step() {
  if (ReadFrame()) Deliver();
}

// Waits one idle pass at most for a frame to begin. A failure ends the thread and is
// reported as the connection's loss, unless the thread is being ended anyway.
bool TVQStompReadThread::ReadFrame() {
  try {
    return FAdapter.ReadFrame(FFrameText, IdlePass, this);
  } catch (const Exception& Error) {
    if (!Terminated()) FAdapter.NotifyConnectionLost(Error);
    throw;
  } catch (const std::exception& Error) {
    if (!Terminated()) FAdapter.NotifyConnectionLost(EVQCommError(Error.what()));
    throw;
  }
}

// A failing handler is logged; receiving goes on with the next frame.
void TVQStompReadThread::Deliver() {
  try {
    if (FAdapter.GetConsoleMode())
      FAdapter.DeliverFrame(FFrameText);
    else
      // The call owns what it uses: it may outlive this wait (see Synchronize).
      Synchronize([&Adapter = FAdapter, Text = std::move(FFrameText)]() mutable { Adapter.DeliverFrame(Text); },
                  GetStopToken());
  } catch (const std::exception& Error) {
    FAdapter.LogError(Error.what());
  }
  Recycle(FFrameText);
}

TVQCommAdapterIndy::~TVQCommAdapterIndy() { EndReadThread(); }

void TVQCommAdapterIndy::Connect() {
  Trace("Connect");
  EndReadThread();
  if (FReadThread) throw EVQCommError("Connect cannot run on the adapter's own read thread.");
  FrameBoundary();  // fails before any network activity without one
  const int32_t Limit = GetConnectTimeout();
  const auto Deadline = DeadlineAfter(WaitOf(Limit));
  const auto Late = [&](const std::string& What) {
    return EIdTimeout(What + " " + FClient.Address() + " within the connect time-out of " + std::to_string(Limit) +
                      " ms");
  };
  try {
    FClient.Connect(Deadline);
  } catch (const EIdTimeout& Error) {
    throw Late(Error.what());
  }
  try {
    NotifyConnected();
    if (!ReceiveFrame(MillisecondsLeft(Deadline))) throw Late("No answer to CONNECT from");
  } catch (...) {
    const bool AnsweredInTLS = FClient.AnsweredInTLS();
    CloseSocket();
    if (AnsweredInTLS) throw EVQTLSError(FClient.Address() + " answered in TLS: connect to it with TLS (ssl://)");
    throw;
  }
  try {
    FReadThread = std::make_unique<TVQStompReadThread>(*this);
  } catch (const std::system_error&) {
    CloseSocket();
    throw EVQCommError("Cannot create listening thread.");
  }
}

void TVQCommAdapterIndy::Disconnect() {
  Trace("StompDisconnect");
  // Wakes whatever waits on the socket: a reader in Receive, a writer stuck on a full
  // buffer. The read thread is told first, so that it takes the end for no loss.
  if (FReadThread) FReadThread->Terminate();
  FClient.SayGoodbye();
  FClient.Shutdown();
  try {
    EndReadThread();
  } catch (...) {
    CloseSocket();
    throw;
  }
  CloseSocket();
}

// Under the read lock: a handler on the read thread may disconnect while another
// thread asks Connected.
void TVQCommAdapterIndy::CloseSocket() {
  std::lock_guard Guard(FReadLock);
  FClient.Disconnect();
}

bool TVQCommAdapterIndy::Connected() {
  // While the read thread waits for bytes, it owns the buffer.
  std::unique_lock Guard(FReadLock, std::try_to_lock);
  return Guard ? FClient.Connected(GetFrameBoundary()) : FClient.IsOpen();
}

bool TVQCommAdapterIndy::ReceiveFrame(int32_t Timeout) {
  // Reuses the thread's last text; a handler that receives again gets a text of its own.
  thread_local std::string Spare;
  std::string Text = std::exchange(Spare, {});
  if (!ReadFrame(Text, WaitOf(Timeout))) return false;
  DeliverFrame(Text);
  Recycle(Text);
  Spare = std::move(Text);
  return true;
}

IFrameBoundary& TVQCommAdapterIndy::FrameBoundary() const {
  IFrameBoundary* Boundary = GetFrameBoundary();
  if (!Boundary) throw EVQCommError("No frame boundary is set: the adapter cannot tell frames apart.");
  return *Boundary;
}

void TVQCommAdapterIndy::WriteWithin(std::string_view Data, int32_t Timeout) {
  FClient.Write(Data, WaitOf(Timeout));
}

void TVQCommAdapterIndy::WriteParts(std::span<const std::string_view> Parts) {
  FClient.Write(Parts, WaitOf(GetWriteTimeout()));
}

void TVQCommAdapterIndy::StartReceiving() {
  TVQCommAdapter::StartReceiving();
  if (FReadThread) FReadThread->Start();
}

void TVQCommAdapterIndy::StopReceiving() {
  TVQCommAdapter::StopReceiving();
  if (FReadThread) FReadThread->Stop();
}

bool TVQCommAdapterIndy::IsReceiving() const { return FReadThread && !FReadThread->Stopped(); }

// Waits up to Wait for a whole frame and takes its text, from its command to its NUL. A
// frame completed after Reader was stopped is left for ReceiveFrame.
bool TVQCommAdapterIndy::ReadFrame(std::string& Text, TIdStompClient::TWait Wait, const TVQThread* Reader) {
  std::lock_guard Guard(FReadLock);
  const auto Length = FClient.AwaitFrame(FrameBoundary(), Wait);
  if (!Length || (Reader != nullptr && Reader->Stopped())) return false;
  FClient.TakeFrame(*Length, Text);
  return true;
}

// A Disconnect from a handler on the read thread cannot wait for that thread: it ends
// when the handler returns and is joined later.
void TVQCommAdapterIndy::EndReadThread() {
  if (!FReadThread) return;
  FReadThread->Terminate();
  // A read in the middle of a frame would otherwise wait for the rest of it.
  FClient.Shutdown();
  FReadThread->TerminateAndWaitFor();
  if (!FReadThread->IsCurrentThread()) FReadThread.reset();
}

}  // namespace vq
