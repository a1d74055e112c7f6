#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "VQDeadline.h"
#include "VQJMSInterfaces.h"

namespace vq {

class TVQJMSClient;
class TVQJMSMessage;
class TVQMessageConsumer;

// Hands each received message to the consumer whose subscription it carries, on the
// thread that read it: to the consumer's listener, or into the queue its Receive takes
// from, so no consumer ever gets another's message. While no read thread runs, one
// Receive at a time reads the transport on behalf of all of them.
class TVQMessageRouter {
public:
  explicit TVQMessageRouter(TVQJMSClient& Client) : FClient(Client) {}
  TVQMessageRouter(const TVQMessageRouter&) = delete;
  TVQMessageRouter& operator=(const TVQMessageRouter&) = delete;

  // Messages for Consumer's subscription, or for Destination without a subscription, go
  // to it from now on.
  void Add(const std::shared_ptr<TVQMessageConsumer>& Consumer, std::string Destination);
  // Drops what is held for the consumer; its waiting Receive raises.
  void Remove(const TVQMessageConsumer& Consumer);
  // On the thread that read the message's frame.
  void Route(const std::shared_ptr<TVQJMSMessage>& Message);
  // Stores the listener, then hands it, on this thread, what was held for the consumer.
  void SetListener(TVQMessageConsumer& Consumer, std::shared_ptr<IMessageListener> Listener);
  // Waits at most Timeout ms (0 or less: no limit) for the consumer's next message.
  std::shared_ptr<IMessage> Receive(const TVQMessageConsumer& Consumer, int32_t Timeout);
  // Background reading started or stopped, or the connection was lost or closed: waiting
  // Receive calls look again.
  void Wake();

private:
  struct TSlot;
  using TSlotRef = std::shared_ptr<TSlot>;

  TSlotRef FindSlot(const TVQJMSMessage& Message) const;
  TSlotRef SlotOf(const TVQMessageConsumer& Consumer) const;
  void Deliver(const TSlotRef& Slot);
  // Reads one frame for the waiting consumers; false when the connection was closed.
  bool ReadFor(std::unique_lock<std::mutex>& Guard, int32_t Timeout);
  void EndReading(std::unique_lock<std::mutex>& Guard);
  void AwaitChange(std::unique_lock<std::mutex>& Guard, const TDeadline& Deadline);

  // Looked up with the subscription as it stands in the message.
  struct TTextHash {
    using is_transparent = void;
    size_t operator()(std::string_view Text) const { return std::hash<std::string_view>{}(Text); }
  };

  TVQJMSClient& FClient;
  mutable std::mutex FLock;
  std::condition_variable FChanged;
  std::unordered_map<std::string, TSlotRef, TTextHash, std::equal_to<>> FSlots;
  // A Receive reads the transport.
  bool FReading = false;
  int32_t FWaiting = 0;
  // Listener calls of one consumer never overlap and keep their order.
  std::recursive_mutex FDeliverLock;
};

// Warns through the client's logger that no consumer took a message.
void WarnUnmatchedMessage(TVQJMSClient& Client, const IMessage& Message);

}  // namespace vq
