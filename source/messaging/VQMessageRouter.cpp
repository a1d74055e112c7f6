#include "messaging/VQMessageRouter.h"

#include <deque>

#include <vqstomp/VQJMSClient.h>
#include <vqstomp/VQJMSMessage.h>
#include <vqstomp/VQMessageConsumer.h>

#include "support/VQUnicode.h"
#include "transport/VQCommInterfaces.h"

namespace vq {

struct TVQConsumerSlot {
  TVQConsumerSlot(std::string ID, std::string Name, std::weak_ptr<IMessageAcknowledger> Owner)
      : SubscriptionID(std::move(ID)), Destination(std::move(Name)), Acknowledger(std::move(Owner)) {}

  const std::string SubscriptionID;
  const std::string Destination;
  const std::weak_ptr<IMessageAcknowledger> Acknowledger;
  std::shared_ptr<IMessageListener> Listener;
  std::deque<std::shared_ptr<TVQJMSMessage>> Held;
  bool Removed = false;
};

TVQConsumerSlotRef TVQMessageRouter::Add(const TVQMessageConsumer& Consumer, std::string Destination) {
  const std::string& ID = Consumer.GetConsumerID().ConsumerID;
  auto Slot = std::make_shared<TVQConsumerSlot>(ID, std::move(Destination), Consumer.GetAcknowledger());
  std::lock_guard Guard(FLock);
  FSlots.insert_or_assign(ID, Slot);
  return Slot;
}

void TVQMessageRouter::Remove(const TVQConsumerSlotRef& Slot) {
  std::lock_guard Guard(FLock);
  if (!Slot || Slot->Removed) return;
  Slot->Removed = true;
  Slot->Listener.reset();
  Slot->Held.clear();
  FSlots.erase(Slot->SubscriptionID);
  if (FLastFound == Slot) FLastFound.reset();
  FChanged.notify_all();
}

void TVQMessageRouter::Wake() {
  std::lock_guard Guard(FLock);
  FChanged.notify_all();
}

// STOMP 1.0 lets a broker leave out "subscription": the destination then decides, when
// only one consumer takes from it.
TVQConsumerSlotRef TVQMessageRouter::FindSlot(const TVQJMSMessage& Message) {
  const std::string_view Subscription = Message.PropertyText("subscription");
  if (!Subscription.empty()) {
    if (FLastFound && FLastFound->SubscriptionID == Subscription) return FLastFound;
    const auto Found = FSlots.find(Subscription);
    if (Found == FSlots.end()) return nullptr;
    return FLastFound = Found->second;
  }
  const std::string_view Destination = Message.PropertyText("destination");
  TVQConsumerSlotRef Match;
  for (const auto& [ID, Slot] : FSlots) {
    if (Slot->Destination != Destination) continue;
    if (Match) return nullptr;
    Match = Slot;
  }
  return Match;
}

void TVQMessageRouter::Route(const std::shared_ptr<TVQJMSMessage>& Message) {
  TVQConsumerSlotRef Slot;
  {
    std::lock_guard Guard(FLock);
    Slot = FindSlot(*Message);
    if (Slot) {
      Message->SetAcknowledger(Slot->Acknowledger);
      Slot->Held.push_back(Message);
      if (!Slot->Listener) {
        if (FWaiting > 0) FChanged.notify_all();
        return;
      }
    }
  }
  if (Slot)
    Deliver(Slot);
  else
    WarnUnmatchedMessage(FClient, *Message);
}

void TVQMessageRouter::SetListener(const TVQConsumerSlotRef& Slot, TVQMessageConsumer& Consumer,
                                   std::shared_ptr<IMessageListener> Listener) {
  std::lock_guard Delivering(FDeliverLock);
  {
    std::lock_guard Guard(FLock);
    if (Slot->Removed) return;
    Slot->Listener = Listener;
    Consumer.StoreListener(std::move(Listener));
  }
  Deliver(Slot);
}

// A failing listener must not stop later deliveries; in client acknowledgement mode its
// message stays unacknowledged, so the broker delivers it again on the next connection.
void TVQMessageRouter::Deliver(const TVQConsumerSlotRef& Slot) {
  std::lock_guard Delivering(FDeliverLock);
  for (;;) {
    std::shared_ptr<IMessageListener> Listener;
    std::shared_ptr<TVQJMSMessage> Message;
    {
      std::lock_guard Guard(FLock);
      if (!Slot->Listener || Slot->Held.empty()) return;
      Listener = Slot->Listener;
      Message = std::move(Slot->Held.front());
      Slot->Held.pop_front();
    }
    try {
      Listener->OnMessage(Message);
    } catch (const std::exception& Error) {
      FClient.GetLogger()->Error(u"Message listener failed: " + Utf8ToUtf16(Error.what()));
    }
  }
}

std::shared_ptr<IMessage> TVQMessageRouter::Receive(const TVQConsumerSlotRef& Slot, int32_t Timeout) {
  const TDeadline Deadline(Timeout);
  std::unique_lock Guard(FLock);
  FClient.CheckConnected("Receive");
  for (;;) {
    if (!Slot->Held.empty()) {
      std::shared_ptr<IMessage> Message = std::move(Slot->Held.front());
      Slot->Held.pop_front();
      return Message;
    }
    if (Slot->Removed) throw EIllegalStateException("The consumer is closed");
    if (FClient.IsConnectionLost()) FClient.CheckConnected("Receive");
    if (!FClient.IsConnected()) return nullptr;
    if (Deadline.Expired()) return nullptr;
    if (FReading || FClient.GetCommAdapter()->IsReceiving())
      AwaitChange(Guard, Deadline);
    else if (!ReadFor(Guard, Deadline.Wait()))
      return nullptr;
  }
}

bool TVQMessageRouter::ReadFor(std::unique_lock<std::mutex>& Guard, int32_t Timeout) {
  FReading = true;
  Guard.unlock();
  struct TEndReading {
    TVQMessageRouter& Router;
    std::unique_lock<std::mutex>& Guard;
    ~TEndReading() { Router.EndReading(Guard); }
  } End{*this, Guard};
  try {
    FClient.ReceiveFrame(Timeout);
    return true;
  } catch (const EVQCommError&) {
    // Close shuts the socket down under a waiting reader; that is no failure of Receive.
    if (!FClient.IsDisconnecting()) throw;
    return false;
  }
}

void TVQMessageRouter::EndReading(std::unique_lock<std::mutex>& Guard) {
  Guard.lock();
  FReading = false;
  if (FWaiting > 0) FChanged.notify_all();
}

void TVQMessageRouter::AwaitChange(std::unique_lock<std::mutex>& Guard, const TDeadline& Deadline) {
  ++FWaiting;
  if (Deadline.IsUnlimited())
    FChanged.wait(Guard);
  else
    FChanged.wait_until(Guard, Deadline.At());
  --FWaiting;
}

void WarnUnmatchedMessage(TVQJMSClient& Client, const IMessage& Message) {
  Client.GetLogger()->Warn(u"Found no Matching Consumer for message " + Utf8ToUtf16(Message.GetJMSMessageID()));
}

}  // namespace vq
