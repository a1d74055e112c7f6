#include "transport/VQSocketChannel.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

#include <vqstomp/VQExceptions.h>

namespace vq {

int PollTimeout(TSocketDeadline Deadline) {
  if (Deadline == NoSocketDeadline) return -1;
  const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<int64_t>(Left.count(), 0, INT_MAX));
}

bool AwaitSocket(int Socket, short Events, TSocketDeadline Deadline) {
  for (;;) {
    pollfd Poll{Socket, Events, 0};
    const int Ready = poll(&Poll, 1, PollTimeout(Deadline));
    if (Ready > 0) return true;
    if (Ready == 0) return false;
    if (errno != EINTR) throw EIdSocketError(errno);
  }
}

namespace {

// A failed call as a transfer: EAGAIN waits for Event, EINTR tries again at once.
TTransfer Failed(int ErrorCode, short Event) {
  if (ErrorCode == EAGAIN || ErrorCode == EWOULDBLOCK) return {.Await = Event};
  if (ErrorCode == EINTR) return {};
  return {.Error = ErrorCode};
}

}  // namespace

TTransfer TPlainChannel::Receive(char* Buffer, size_t Size) {
  const ssize_t Received = recv(FSocket, Buffer, Size, MSG_DONTWAIT);
  if (Received > 0) return {.Count = static_cast<size_t>(Received)};
  if (Received == 0) return {.Ended = true};
  return Failed(errno, POLLIN);
}

TTransfer TPlainChannel::Send(const char* Data, size_t Size) {
  const ssize_t Sent = send(FSocket, Data, Size, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (Sent >= 0) return {.Count = static_cast<size_t>(Sent)};
  return Failed(errno, POLLOUT);
}

}  // namespace vq
