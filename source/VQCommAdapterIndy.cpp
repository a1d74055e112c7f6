#include "VQCommAdapterIndy.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

#include "VQStompFrame.h"
#include "VQSynchronize.h"
#include "VQTextUtils.h"

namespace vq {

namespace {

using namespace std::chrono_literals;

constexpr size_t ReceiveChunk = 32768;
constexpr auto IdlePass = 50ms;
constexpr std::string_view HeaderTerminator("\n\n", 2);
constexpr std::string_view BodyTerminator(&NUL, 1);

std::string ErrorText(int ErrorCode) {
  char Buffer[256];
  return strerror_r(ErrorCode, Buffer, sizeof Buffer);
}

// The peer went away: a receive still delivers what is buffered.
bool IsConnectionLoss(int ErrorCode) {
  return ErrorCode == ECONNRESET || ErrorCode == ECONNABORTED || ErrorCode == EPIPE || ErrorCode == ESHUTDOWN ||
         ErrorCode == ENOTCONN;
}

int PollTimeout(TIdStompClient::TDeadline Deadline) {
  if (Deadline == TIdStompClient::NoDeadline) return -1;
  const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<int64_t>(Left.count(), 0, INT_MAX));
}

// Bytes up to 0x20 between frames are padding (the line end after a NUL, heart-beats).
bool IsContent(char Byte) { return static_cast<uint8_t>(Byte) > 0x20; }

// Terminators are a byte or two: the rest is compared in place rather than by a call.
size_t Find(std::string_view Data, std::string_view Terminator, size_t From) {
  const char* const End = Data.data() + Data.size();
  for (const char* At = Data.data() + From; At < End; ++At) {
    At = static_cast<const char*>(std::memchr(At, Terminator[0], static_cast<size_t>(End - At)));
    if (At == nullptr) break;
    size_t Matched = 1;
    while (Matched < Terminator.size() && At + Matched < End && At[Matched] == Terminator[Matched]) ++Matched;
    if (Matched == Terminator.size()) return static_cast<size_t>(At - Data.data());
  }
  return std::string_view::npos;
}

TIdStompClient::TDeadline DeadlineAfter(TIdStompClient::TWait Wait) {
  if (Wait == TIdStompClient::NoLimit) return TIdStompClient::NoDeadline;
  return std::chrono::steady_clock::now() + Wait;
}

// GetContentLength reads the first header line named "content-length". It is handed the
// block from that line on, so that it does not walk every line of every frame.
int64_t ContentLength(std::string_view HeaderText) {
  constexpr std::string_view Name = "content-length:";
  for (size_t At = HeaderText.find(Name); At != std::string_view::npos; At = HeaderText.find(Name, At + 1))
    if (At == 0 || HeaderText[At - 1] == LF) return TVQStompFrame::GetContentLength(HeaderText.substr(At));
  return 0;
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

int OpenSocket(const std::string& Host, int32_t Port) {
  if (Host.empty()) throw EVQCommError("Host must be specified.");
  if (Port < 1 || Port > 65535) throw EVQCommError("Port must be between 1 and 65535.");
  const sockaddr_in Address = Resolve(Host, Port);
  const int Socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Socket < 0) throw EIdSocketError(errno);
  if (connect(Socket, reinterpret_cast<const sockaddr*>(&Address), sizeof Address) != 0) {
    const int ErrorCode = errno;
    close(Socket);
    throw EIdSocketError(ErrorCode);
  }
  return Socket;
}

}  // namespace

EIdSocketError::EIdSocketError(int ErrorCode) : EIdSocketError(ErrorCode, ErrorText(ErrorCode)) {}

EIdSocketError::EIdSocketError(int ErrorCode, const std::string& Text)
    : EVQCommError("Socket Error # " + std::to_string(ErrorCode) + "\r\n" + Text), FErrorCode(ErrorCode) {}

void TReceiveBuffer::Consume(size_t Count) {
  FBegin += Count;
  if (FBegin == FEnd) Clear();
}

char* TReceiveBuffer::Reserve(size_t Count) {
  if (FCapacity - FEnd >= Count) return FData.get() + FEnd;
  const size_t Size = FEnd - FBegin;
  // Moving the unread bytes to the front pays off only when it frees at least as much.
  if (Size + Count <= FCapacity / 2) {
    std::memmove(FData.get(), FData.get() + FBegin, Size);
  } else {
    const size_t Capacity = std::max(FCapacity * 2, Size + Count);
    auto Data = std::make_unique_for_overwrite<char[]>(Capacity);
    if (Size > 0) std::memcpy(Data.get(), FData.get() + FBegin, Size);
    FData = std::move(Data);
    FCapacity = Capacity;
  }
  FBegin = 0;
  FEnd = Size;
  return FData.get() + FEnd;
}

TIdStompClient::~TIdStompClient() { Disconnect(); }

void TIdStompClient::Connect() {
  Disconnect();
  const int Socket = OpenSocket(FHost, FPort);
  std::lock_guard Guard(FWriteLock);
  FBuffer.Clear();
  FClosedByPeer = false;
  FSocket = Socket;
}

void TIdStompClient::Disconnect() {
  std::lock_guard Guard(FWriteLock);
  if (const int Socket = FSocket.exchange(-1); Socket >= 0) close(Socket);
  FBuffer.Clear();
}

void TIdStompClient::Shutdown() {
  if (const int Socket = FSocket; Socket >= 0) shutdown(Socket, SHUT_RDWR);
}

bool TIdStompClient::Connected() {
  try {
    return AwaitContent(TWait(0)) || IsOpen();
  } catch (const EVQCommError&) {
    return false;
  }
}

void TIdStompClient::Write(std::string_view Data) {
  if (Data.empty()) return;
  std::lock_guard Guard(FWriteLock);
  if (!IsOpen()) throw EIdConnClosedGracefully();
  while (!Data.empty()) {
    const ssize_t Sent = send(FSocket, Data.data(), Data.size(), MSG_NOSIGNAL);
    if (Sent >= 0) {
      Data.remove_prefix(static_cast<size_t>(Sent));
    } else if (errno != EINTR) {
      const int ErrorCode = errno;
      if (IsConnectionLoss(ErrorCode)) {
        FClosedByPeer = true;
        Shutdown();
      }
      throw EIdSocketError(ErrorCode);
    }
  }
}

bool TIdStompClient::AwaitContent(TWait Wait) {
  // Taken at the first wait: a buffered frame costs no clock reading.
  std::optional<TDeadline> Deadline;
  for (;;) {
    const std::string_view Data = Unread();
    const auto Content = std::find_if(Data.begin(), Data.end(), IsContent);
    Consume(static_cast<size_t>(Content - Data.begin()));
    if (Content != Data.end()) return true;
    if (!Deadline) Deadline = DeadlineAfter(Wait);
    if (!AwaitMore(*Deadline)) return false;
  }
}

size_t TIdStompClient::AwaitTerminator(std::string_view Terminator, size_t MaxLength) {
  // Each wait resumes the search where the last one stopped.
  size_t From = 0;
  for (;;) {
    const std::string_view Data = Unread();
    const size_t Found = Find(Data, Terminator, From);
    if (Found != std::string_view::npos && Found <= MaxLength) return Found;
    if (Found != std::string_view::npos || Data.size() > MaxLength) throw EIdMaxLineLengthExceeded();
    From = Data.size() - std::min(Data.size(), Terminator.size() - 1);
    AwaitMore();
  }
}

void TIdStompClient::AwaitBytes(size_t Count) {
  while (Unread().size() < Count) AwaitMore();
}

bool TIdStompClient::AwaitMore(TDeadline Deadline) {
  if (!IsOpen()) throw EIdConnClosedGracefully();
  return ReceiveMore(Deadline);
}

bool TIdStompClient::ReceiveMore(TDeadline Deadline) {
  pollfd Poll{FSocket, POLLIN, 0};
  const int Ready = poll(&Poll, 1, PollTimeout(Deadline));
  if (Ready == 0) return false;
  if (Ready < 0) {
    if (errno != EINTR) throw EIdSocketError(errno);
    return true;
  }
  const ssize_t Received = recv(FSocket, FBuffer.Reserve(ReceiveChunk), ReceiveChunk, 0);
  if (Received > 0)
    FBuffer.Commit(static_cast<size_t>(Received));
  else if (Received == 0)
    FClosedByPeer = true;
  else
    HandleReceiveError(errno);
  return true;
}

void TIdStompClient::HandleReceiveError(int ErrorCode) {
  if (ErrorCode == EINTR || ErrorCode == EAGAIN) return;
  if (!IsConnectionLoss(ErrorCode)) throw EIdSocketError(ErrorCode);
  FClosedByPeer = true;
  if (Unread().empty()) throw EIdSocketError(ErrorCode);
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
      Synchronize([&Adapter = FAdapter, Text = std::move(FFrameText)] { Adapter.DeliverFrame(Text); }, GetStopToken());
  } catch (const std::exception& Error) {
    FAdapter.LogError(Error.what());
  }
  FFrameText.clear();
}

TVQCommAdapterIndy::~TVQCommAdapterIndy() { EndReadThread(); }

void TVQCommAdapterIndy::Connect() {
  Trace("Connect");
  EndReadThread();
  if (FReadThread) throw EVQCommError("Connect cannot run on the adapter's own read thread.");
  FClient.Connect();
  try {
    NotifyConnected();
  } catch (...) {
    CloseSocket();
    throw;
  }
  ReceiveFrame(0);
  try {
    FReadThread = std::make_unique<TVQStompReadThread>(*this);
  } catch (const std::system_error&) {
    CloseSocket();
    throw EVQStompClientConnectError("Cannot create listening thread.");
  }
}

void TVQCommAdapterIndy::Disconnect() {
  Trace("StompDisconnect");
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
  return Guard ? FClient.Connected() : FClient.IsOpen();
}

bool TVQCommAdapterIndy::ReceiveFrame(int32_t Timeout) {
  // Reuses the thread's last text; a handler that receives again gets a text of its own.
  thread_local std::string Spare;
  std::string Text = std::exchange(Spare, {});
  if (!ReadFrame(Text, Timeout > 0 ? TIdStompClient::TWait(Timeout) : TIdStompClient::NoLimit)) return false;
  DeliverFrame(Text);
  Spare = std::move(Text);
  return true;
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

// Waits up to Wait for a frame to begin; once it has, reads it whole: the trimmed header
// block, LF, LF, then the counted body with its NUL and the byte after it, or the body
// up to its NUL without the NUL. A frame that begins after Reader was stopped is left
// for ReceiveFrame.
bool TVQCommAdapterIndy::ReadFrame(std::string& Text, TIdStompClient::TWait Wait, const TVQThread* Reader) {
  std::lock_guard Guard(FReadLock);
  if (!FClient.AwaitContent(Wait) || (Reader != nullptr && Reader->Stopped())) return false;
  const size_t HeaderEnd = FClient.AwaitTerminator(HeaderTerminator, MaxLineLength());
  Text.assign(TrimControl(FClient.Unread().substr(0, HeaderEnd))).append(HeaderTerminator);
  FClient.Consume(HeaderEnd + HeaderTerminator.size());
  ReadBody(Text);
  return true;
}

void TVQCommAdapterIndy::ReadBody(std::string& Text) {
  const int64_t Length = ContentLength(Text);
  if (Length == 0) {
    const size_t BodyEnd = FClient.AwaitTerminator(BodyTerminator, MaxLineLength());
    Text.append(FClient.Unread().substr(0, BodyEnd));
    FClient.Consume(BodyEnd + BodyTerminator.size());
    return;
  }
  const int64_t Count = Length + 2;
  if (Count < 1) return;
  FClient.AwaitBytes(static_cast<size_t>(Count));
  Text.append(FClient.Unread().substr(0, static_cast<size_t>(Count)));
  FClient.Consume(static_cast<size_t>(Count));
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
