#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <vqstomp/VQJMSConnection.h>
#include <vqstomp/VQStompInterfaces.h>

#include "ScriptedPeer.h"

namespace vq::test {
class TTLSFront;
}

namespace vq::test {

// The frames in a byte stream of NUL LF terminated frames, decoded.
std::vector<std::shared_ptr<IStompFrame>> SplitFrames(const std::string& Stream);
// Command lines of those frames, for comparing sequences at a glance.
std::vector<std::string> Commands(const std::vector<std::shared_ptr<IStompFrame>>& Frames);

// Collects what the library logs, thread-safely, instead of printing it.
class TLogRecorder {
public:
  void Attach(ILogging& Logger);
  std::vector<std::string> Lines() const;
  bool Contains(const std::string& Part) const;

private:
  mutable std::mutex FLock;
  std::vector<std::string> FLines;
};

// Records every message it is handed, thread-safely; optionally fails on one.
class TRecordingListener : public IMessageListener {
public:
  explicit TRecordingListener(std::string FailOn = {}) : FFailOn(std::move(FailOn)) {}
  void OnMessage(const std::shared_ptr<IMessage>& Message) override;
  std::vector<std::string> Texts() const;
  size_t Count() const;

private:
  const std::string FFailOn;
  mutable std::mutex FLock;
  std::vector<std::string> FTexts;
};

// Records the exceptions a connection reports, thread-safely.
class TRecordingExceptionListener : public IExceptionListener {
public:
  void OnException(const Exception& Error) override;
  std::vector<std::string> Errors() const;

private:
  mutable std::mutex FLock;
  std::vector<std::string> FErrors;
};

// A MESSAGE frame for Subscription with "message-id" "id-" Body, and its NUL LF.
std::string MessageFrame(const std::string& Subscription, const std::string& Body);
// The "id" of Consumer's SUBSCRIBE.
std::string ConsumerIDOf(const std::shared_ptr<IMessageConsumer>& Consumer);

// Answers every "receipt:receipt-N" the peer receives, in order from N = First, until
// destroyed.
class TReceiptAnswerer {
public:
  explicit TReceiptAnswerer(TScriptedPeer& Peer, int First = 1);
  ~TReceiptAnswerer();
  TReceiptAnswerer(const TReceiptAnswerer&) = delete;
  TReceiptAnswerer& operator=(const TReceiptAnswerer&) = delete;

private:
  void Run(int First);

  TScriptedPeer& FPeer;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

// The text of a text message, or the content of a bytes message.
std::string BodyOf(const std::shared_ptr<IMessage>& Message);

enum class TPeerTransport { Plain, TLS };
// For test names.
inline void PrintTo(TPeerTransport Transport, std::ostream* Out) {
  *Out << (Transport == TPeerTransport::TLS ? "TLS" : "Plain");
}

// A connection to a scripted peer that answers CONNECT, already started; through TLS
// it talks to a TLS front of the peer, trusting the test CA.
struct TPeerConnection {
  explicit TPeerConnection(TPeerTransport Transport = TPeerTransport::Plain);
  ~TPeerConnection();
  std::vector<std::shared_ptr<IStompFrame>> FramesAfterConnect() const;

  TScriptedPeer Peer;
  std::shared_ptr<TTLSFront> Front;
  TLogRecorder Log;
  std::shared_ptr<TVQJMSConnection> Connection;
};

}  // namespace vq::test
