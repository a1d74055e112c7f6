#include "ScriptedPeer.h"

#include "LoopbackListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace vq::test {

namespace {

int Check(int Result, const char* What) {
  if (Result < 0) throw std::runtime_error(std::string(What) + " failed: errno " + std::to_string(errno));
  return Result;
}

bool IsConnectFrame(std::string_view Frame) {
  const auto Start =
      std::find_if(Frame.begin(), Frame.end(), [](char Byte) { return static_cast<uint8_t>(Byte) > 0x20; });
  Frame.remove_prefix(static_cast<size_t>(Start - Frame.begin()));
  return Frame.starts_with("CONNECT\n") || Frame.starts_with("CONNECT\r\n") || Frame.starts_with("STOMP\n");
}

}  // namespace

TScriptedPeer::TScriptedPeer() {
  FListener = ListenOnLoopback(FPort);
  int Pipe[2];
  Check(pipe2(Pipe, O_CLOEXEC), "pipe2");
  FWakeRead = Pipe[0];
  FWakeWrite = Pipe[1];
  FThread = std::thread(&TScriptedPeer::Run, this);
}

TScriptedPeer::~TScriptedPeer() {
  {
    std::lock_guard Guard(FLock);
    FCommand = TCommand::Quit;
  }
  (void)!write(FWakeWrite, "q", 1);
  FThread.join();
  close(FListener);
  close(FWakeRead);
  close(FWakeWrite);
}

std::string TScriptedPeer::DefaultConnectedFrame() {
  return std::string("CONNECTED\nsession:scripted-peer\n\n\0\n", 36);
}

void TScriptedPeer::SetAutoConnected(bool Enabled, std::string Reply) {
  std::lock_guard Guard(FLock);
  FReply = Enabled ? std::move(Reply) : std::string();
}

bool TScriptedPeer::WaitForConnection(std::chrono::milliseconds Limit) {
  std::unique_lock Guard(FLock);
  return FChanged.wait_for(Guard, Limit, [this] { return FConnected; });
}

void TScriptedPeer::Send(std::string_view Bytes) {
  if (!WaitForConnection()) {
    ADD_FAILURE() << "TScriptedPeer: no client connected";
    return;
  }
  SendRaw(Bytes);
}

void TScriptedPeer::SendChunks(const std::vector<std::string>& Chunks, std::chrono::milliseconds Pause) {
  for (size_t Index = 0; Index < Chunks.size(); ++Index) {
    if (Index > 0) std::this_thread::sleep_for(Pause);
    Send(Chunks[Index]);
  }
}

std::string TScriptedPeer::Received() const {
  std::lock_guard Guard(FLock);
  return FReceived;
}

bool TScriptedPeer::WaitForReceived(const TPredicate& Predicate, std::chrono::milliseconds Limit) const {
  std::unique_lock Guard(FLock);
  return FChanged.wait_for(Guard, Limit, [&] { return Predicate(FReceived); });
}

bool TScriptedPeer::WaitForReceived(std::string_view Part, std::chrono::milliseconds Limit) const {
  return WaitForReceived([Part](const std::string& Received) { return Received.find(Part) != std::string::npos; },
                         Limit);
}

bool TScriptedPeer::WaitForClientClose(std::chrono::milliseconds Limit) const {
  std::unique_lock Guard(FLock);
  return FChanged.wait_for(Guard, Limit, [this] { return FClientClosed; });
}

void TScriptedPeer::Close() { Order(TCommand::Close); }

void TScriptedPeer::Reset() { Order(TCommand::Reset); }

void TScriptedPeer::StopReading() {
  std::lock_guard Guard(FLock);
  FReadingStopped = true;
  (void)!write(FWakeWrite, "r", 1);
}

void TScriptedPeer::Order(TCommand Command) {
  std::unique_lock Guard(FLock);
  FCommand = Command;
  (void)!write(FWakeWrite, "c", 1);
  FChanged.wait(Guard, [this] { return FCommand == TCommand::None; });
}

void TScriptedPeer::Run() {
  if (Accept()) Serve();
}

// False when told to quit before a client came.
bool TScriptedPeer::Accept() {
  for (;;) {
    pollfd Polls[2] = {{FWakeRead, POLLIN, 0}, {FListener, POLLIN, 0}};
    Check(poll(Polls, 2, -1), "poll");
    if ((Polls[0].revents & POLLIN) && !CarryOrder()) return false;
    if (!(Polls[1].revents & POLLIN)) continue;
    const int Connection = Check(accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC), "accept");
    const int NoDelay = 1;
    setsockopt(Connection, IPPROTO_TCP, TCP_NODELAY, &NoDelay, sizeof NoDelay);
    std::scoped_lock Guard(FSendLock, FLock);
    FConnection = Connection;
    FConnected = true;
    FChanged.notify_all();
    return true;
  }
}

void TScriptedPeer::Serve() {
  for (;;) {
    bool Reading;
    {
      std::lock_guard Guard(FLock);
      Reading = FConnection >= 0 && !FClientClosed && !FReadingStopped;
    }
    pollfd Polls[2] = {{FWakeRead, POLLIN, 0}, {Reading ? FConnection : -1, POLLIN, 0}};
    Check(poll(Polls, 2, -1), "poll");
    if ((Polls[0].revents & POLLIN) && !CarryOrder()) return;
    if (Polls[1].revents != 0) ReceiveSome();
  }
}

void TScriptedPeer::ReceiveSome() {
  char Buffer[65536];
  const ssize_t Count = recv(FConnection, Buffer, sizeof Buffer, 0);
  {
    std::lock_guard Guard(FLock);
    if (Count > 0)
      FReceived.append(Buffer, static_cast<size_t>(Count));
    else
      FClientClosed = true;
    FChanged.notify_all();
  }
  AnswerConnects();
}

// Frames are told apart by their NUL; each whole CONNECT frame gets one reply.
void TScriptedPeer::AnswerConnects() {
  std::string Replies;
  {
    std::lock_guard Guard(FLock);
    for (size_t End; (End = FReceived.find('\0', FAnsweredUpTo)) != std::string::npos; FAnsweredUpTo = End + 1)
      if (!FReply.empty() && IsConnectFrame(std::string_view(FReceived).substr(FAnsweredUpTo, End - FAnsweredUpTo)))
        Replies += FReply;
  }
  if (!Replies.empty()) SendRaw(Replies);
}

void TScriptedPeer::SendRaw(std::string_view Bytes) {
  std::lock_guard Guard(FSendLock);
  if (FConnection < 0) {
    ADD_FAILURE() << "TScriptedPeer: the connection is closed";
    return;
  }
  while (!Bytes.empty()) {
    const ssize_t Sent = send(FConnection, Bytes.data(), Bytes.size(), MSG_NOSIGNAL);
    if (Sent < 0 && errno == EINTR) continue;
    if (Sent < 0) {
      ADD_FAILURE() << "TScriptedPeer: send failed, errno " << errno;
      return;
    }
    Bytes.remove_prefix(static_cast<size_t>(Sent));
  }
}

bool TScriptedPeer::CarryOrder() {
  char Drain[16];
  (void)!read(FWakeRead, Drain, sizeof Drain);
  TCommand Command;
  {
    std::lock_guard Guard(FLock);
    Command = FCommand;
  }
  if (Command != TCommand::None) CloseConnection(Command == TCommand::Reset);
  std::lock_guard Guard(FLock);
  FCommand = TCommand::None;
  FChanged.notify_all();
  return Command != TCommand::Quit;
}

void TScriptedPeer::CloseConnection(bool Abortive) {
  std::scoped_lock Guard(FSendLock, FLock);
  if (FConnection < 0) return;
  if (Abortive) {
    const linger Linger{1, 0};
    setsockopt(FConnection, SOL_SOCKET, SO_LINGER, &Linger, sizeof Linger);
  }
  close(FConnection);
  FConnection = -1;
}

}  // namespace vq::test
