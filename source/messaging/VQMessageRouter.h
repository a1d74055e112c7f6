#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <vqstomp/VQJMSInterfaces.h>


namespace vq {

class TVQJMSClient;
class TVQJMSMessage;
class TVQMessageConsumer;
// What the router keeps for one consumer: its listener and the messages held for it.
struct TVQConsumerSlot;
using TVQConsumerSlotRef = std::shared_ptr<TVQConsumerSlot>;

// Hands each received message to the consumer whose subscription it carries, on the
// thread that read it: to the consumer's listener, or into the queue its Receive takes
// from, so no consumer ever gets another's message. While no read thread runs, one
// waiting call at a time (a Receive, or a wait for a receipt) reads the transport on
// behalf of all of them.
class TVQMessageRouter {
public:
  explicit TVQMessageRouter(TVQJMSClient& Client) : FClient(Client) {}
  TVQMessageRouter(const TVQMessageRouter&) = delete;
  TVQMessageRouter& operator=(const TVQMessageRouter&) = delete;

  // Messages for Consumer's subscription, or for Destination without a subscription, go
  // to the slot returned from now on; ClientAcknowledges: the application settles them.
  TVQConsumerSlotRef Add(const TVQMessageConsumer& Consumer, std::string Destination, bool ClientAcknowledges);
  // Drops the messages held that the application would acknowledge: they came on a
  // connection lost since, and the broker sends them again.
  void ForgetUnacknowledged();
  // Drops what is held in the slot; a Receive waiting on it raises.
  void Remove(const TVQConsumerSlotRef& Slot);
  // On the thread that read the message's frame.
  void Route(const std::shared_ptr<TVQJMSMessage>& Message);
  // Stores the consumer's listener, then hands it, on this thread, what was held for it.
  void SetListener(const TVQConsumerSlotRef& Slot, TVQMessageConsumer& Consumer,
                   std::shared_ptr<IMessageListener> Listener);
  // Waits at most Timeout ms (0 or less: no limit) for the slot's next message.
  std::shared_ptr<IMessage> Receive(const TVQConsumerSlotRef& Slot, int32_t Timeout);
  // Background reading started or stopped, or the connection was lost or closed: waiting
  // Receive calls look again.
  void Wake();

private:
  // Looked up with the subscription as it stands in the message.
  struct TTextHash {
    using is_transparent = void;
    size_t operator()(std::string_view Text) const { return std::hash<std::string_view>{}(Text); }
  };

  TVQConsumerSlotRef FindSlot(const TVQJMSMessage& Message);
  void Deliver(const TVQConsumerSlotRef& Slot);
  void DeliverHeld(const TVQConsumerSlotRef& Slot);
  std::shared_ptr<IMessage> TakeHeld(TVQConsumerSlot& Slot);

  TVQJMSClient& FClient;
  mutable std::mutex FLock;
  std::unordered_map<std::string, TVQConsumerSlotRef, TTextHash, std::equal_to<>> FSlots;
  // Messages come in runs for one consumer: the last one found is tried first.
  TVQConsumerSlotRef FLastFound;
  // Listener calls never overlap, and those of one consumer keep their order.
  std::mutex FDeliverLock;
  // Slots that got messages while this router's listeners were running on the thread
  // delivering them (a listener waiting for a receipt reads frames itself). Only that
  // thread, which holds FDeliverLock, touches it.
  std::vector<TVQConsumerSlotRef> FDeferred;
};

// Warns through the client's logger that no consumer took a message.
void WarnUnmatchedMessage(TVQJMSClient& Client, const IMessage& Message);

}  // namespace vq
