#pragma once

/// @file
/// The STOMP client of the messaging API.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include <vqstomp/VQJMSInterfaces.h>
#include <vqstomp/VQStompCustomClient.h>
#include <vqstomp/VQTLSOptions.h>

namespace vq {

class TVQCommAdapter;
class TVQJMSClient;
class TVQJMSMessage;

/// Told of each message made from a MESSAGE frame, on the thread that read the frame.
using TMessageEvent = std::function<void(TVQJMSClient& Client, const std::shared_ptr<TVQJMSMessage>& Message)>;

/// The STOMP client of the messaging API: MESSAGE frames become text or bytes messages,
/// and messages become SEND frames. Owns its communication adapter.
class TVQJMSClient : public TVQStompCustomClient {
public:
  /// Creates and installs the default adapter of the registry, if any is registered.
  TVQJMSClient();
  /// Ends the adapter, and with it its read thread, before the rest of the client.
  ~TVQJMSClient() override;

  /// Replaces the adapter by the registry's TLS adapter, set up with Options; as with
  /// any new adapter, host and port go back to "localhost" and 61613. Raises EVQTLSError
  /// when the library was built without TLS. Before Connect.
  void UseTLS(const TVQTLSOptions& Options);
  /// Installs the message handler; a TVQJMSConnection installs its own. Set it before Connect.
  void SetOnMessage(TMessageEvent Handler) { FOnMessage = std::move(Handler); }

  /// Sends a text or bytes message; any other message is silently not sent. Raises what
  /// IMessage::WriteToFrame and Send raise.
  void SendMessage(const std::shared_ptr<IMessage>& Message, std::string_view Destination, std::string_view Receipt);
  /// Reads frames on this thread until one becomes a message or Timeout ms have passed
  /// (0 or less: no limit). Transport failures reach the caller; failures of a single
  /// frame (a malformed frame, a failing message event) are logged and reading goes on.
  std::shared_ptr<IMessage> Receive(int32_t Timeout);
  /// The same with a std::chrono time-out (zero or less: no limit).
  std::shared_ptr<IMessage> Receive(std::chrono::milliseconds Timeout) { return Receive(TimeoutMilliseconds(Timeout)); }
  /// The message made from the latest MESSAGE frame; any thread.
  std::shared_ptr<IMessage> GetCurrentMessage() const;

protected:
  std::string_view GetClassName() const override { return "TVQJMSClient"; }
  /// Makes a bytes message of a frame with "content-length", a text message of any
  /// other, and hands it to the message handler.
  void StompFrameAvailable(const std::shared_ptr<IStompFrame>& Frame) override;

private:
  std::unique_ptr<TVQCommAdapter> FOwnedAdapter;
  TMessageEvent FOnMessage;
  mutable std::mutex FCurrentLock;
  std::shared_ptr<IMessage> FCurrentMessage;
  std::atomic<uint64_t> FMessagesMade{0};
};

}  // namespace vq
