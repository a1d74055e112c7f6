#pragma once

/// @file
/// The consumer a session makes for one subscription.

#include <atomic>
#include <memory>
#include <mutex>

#include <vqstomp/VQConsumerID.h>
#include <vqstomp/VQJMSInterfaces.h>

namespace vq {

class TVQJMSSession;
class IMessageAcknowledger;
struct TVQConsumerSlot;

/// One subscription of a session: polled with Receive, or served by a listener. It gets
/// exactly the messages that carry its subscription. Its calls may come from any thread.
class TVQMessageConsumer : public IMessageConsumer, public IConsumerIdentity {
public:
  /// Made by TVQJMSSession::CreateConsumer, which subscribes it; the session is not kept
  /// alive.
  TVQMessageConsumer(const std::shared_ptr<TVQJMSSession>& Session, std::unique_ptr<TVQConsumerID> ConsumerID,
                     std::shared_ptr<IDestination> Destination);

  /// The std::chrono overload of Receive, too.
  using IMessageConsumer::Receive;
  std::shared_ptr<IMessageListener> GetMessageListener() const override;
  /// Messages held for the consumer go to the new listener first, on this thread. A
  /// listener in a started session makes the connection read in the background.
  void SetMessageListener(std::shared_ptr<IMessageListener> Listener) override;
  /// Receive(0): no limit.
  std::shared_ptr<IMessage> Receive() override { return Receive(0); }
  std::shared_ptr<IMessage> Receive(int32_t Timeout) override;
  /// Unsubscribes through the session; with the session released it only marks the
  /// consumer closed.
  void Close() override;
  const TVQConsumerID& GetConsumerID() const override { return *FConsumerID; }

  /// For the session's own Close: marks the consumer closed; false when it was already.
  bool MarkClosed() { return !FClosed.exchange(true); }
  /// Closed, by itself or by its session.
  bool IsClosed() const { return FClosed; }
  /// Where it takes its messages from.
  const std::shared_ptr<IDestination>& GetDestination() const { return FDestination; }
  /// What its messages acknowledge themselves through.
  const std::weak_ptr<IMessageAcknowledger>& GetAcknowledger() const { return FAcknowledger; }
  /// The router stores the listener, in step with the messages it hands out.
  void StoreListener(std::shared_ptr<IMessageListener> Listener);
  /// Where the router keeps this consumer's messages; set once, by the session.
  void AttachSlot(std::shared_ptr<TVQConsumerSlot> Slot) { FSlot = std::move(Slot); }
  /// The router's place for this consumer, as AttachSlot set it.
  const std::shared_ptr<TVQConsumerSlot>& GetSlot() const { return FSlot; }

private:
  std::shared_ptr<TVQJMSSession> Session() const;

  const std::weak_ptr<TVQJMSSession> FSession;
  const std::weak_ptr<IMessageAcknowledger> FAcknowledger;
  const std::unique_ptr<TVQConsumerID> FConsumerID;
  const std::shared_ptr<IDestination> FDestination;
  std::shared_ptr<TVQConsumerSlot> FSlot;
  std::atomic<bool> FClosed{false};
  mutable std::mutex FLock;
  std::shared_ptr<IMessageListener> FListener;
};

}  // namespace vq
