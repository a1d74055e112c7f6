#include "messaging/VQMessageRouter.h"

#include <deque>
#include <utility>

#include <vqstomp/VQJMSClient.h>
#include <vqstomp/VQJMSMessage.h>
#include <vqstomp/VQMessageConsumer.h>

#include "support/VQUnicode.h"
#include "transport/VQCommInterfaces.h"

namespace vq {

struct TVQConsumerSlot {
  TVQConsumerSlot(std::string ID, std::string Name, std::weak_ptr<IMessageAcknowledger> Owner, bool Settles)
      : SubscriptionID(std::move(ID)),
        Destination(std::move(Name)),
        Acknowledger(std::move(Owner)),
        ClientAcknowledges(Settles) {}

  const std::string SubscriptionID;
  const std::string Destination;
  const std::weak_ptr<IMessageAcknowledger> Acknowledger;
  const bool ClientAcknowledges;
  std::shared_ptr<IMessageListener> Listener;
  std::deque<std::shared_ptr<TVQJMSMessage>> Held;
  bool Removed = false;
};

TVQConsumerSlotRef TVQMessageRouter::Add(const TVQMessageConsumer& Consumer, std::string Destination,
                                         bool ClientAcknowledges) {
  const std::string& ID = Consumer.GetConsumerID().ConsumerID;
  auto Slot =
      std::make_shared<TVQConsumerSlot>(ID, std::move(Destination), Consumer.GetAcknowledger(), ClientAcknowledges);
  std::lock_guard Guard(FLock);
  FSlots.insert_or_assign(ID, Slot);
  return Slot;
}

void TVQMessageRouter::Remove(const TVQConsumerSlotRef& Slot) {
  {
    std::lock_guard Guard(FLock);
    if (!Slot || Slot->Removed) return;
    Slot->Removed = true;
    Slot->Listener.reset();
    Slot->Held.clear();
    FSlots.erase(Slot->SubscriptionID);
    if (FLastFound == Slot) FLastFound.reset();
  }
  Wake();
}

void TVQMessageRouter::ForgetUnacknowledged() {
  std::lock_guard Guard(FLock);
  for (const auto& [ID, Slot] : FSlots)
    if (Slot->ClientAcknowledges) Slot->Held.clear();
}

void TVQMessageRouter::Wake() { FClient.WakeAwaiting(); }

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
  bool Listened = false;
  {
    std::lock_guard Guard(FLock);
    Slot = FindSlot(*Message);
    if (Slot) {
      Message->SetAcknowledger(Slot->Acknowledger);
      Slot->Held.push_back(Message);
      Listened = Slot->Listener != nullptr;
    }
  }
  if (!Slot)
    WarnUnmatchedMessage(FClient, *Message);
  else if (Listened)
    Deliver(Slot);
  else
    Wake();
}

void TVQMessageRouter::SetListener(const TVQConsumerSlotRef& Slot, TVQMessageConsumer& Consumer,
                                   std::shared_ptr<IMessageListener> Listener) {
  {
    std::lock_guard Guard(FLock);
    if (Slot->Removed) return;
    Slot->Listener = Listener;
    Consumer.StoreListener(std::move(Listener));
  }
  Deliver(Slot);
}

// On the thread already running this router's listeners, a message is handed over once
// the listener running returns: listener calls never nest.
void TVQMessageRouter::Deliver(const TVQConsumerSlotRef& Slot) {
  thread_local const TVQMessageRouter* Delivering = nullptr;
  if (Delivering == this) {
    FDeferred.push_back(Slot);
    return;
  }
  std::lock_guard Delivery(FDeliverLock);
  const TVQMessageRouter* const Outer = std::exchange(Delivering, this);
  const struct TRestore {
    const TVQMessageRouter* Outer;
    ~TRestore() { Delivering = Outer; }
  } Restore{Outer};
  DeliverHeld(Slot);
  while (!FDeferred.empty()) {
    const TVQConsumerSlotRef Next = std::move(FDeferred.back());
    FDeferred.pop_back();
    DeliverHeld(Next);
  }
}

// A failing listener must not stop later deliveries; in client acknowledgement mode its
// message stays unacknowledged, so the broker delivers it again on the next connection.
// What is held after the last message taken here came with a call of Deliver of its own.
void TVQMessageRouter::DeliverHeld(const TVQConsumerSlotRef& Slot) {
  for (bool More = true; More;) {
    std::shared_ptr<IMessageListener> Listener;
    std::shared_ptr<IMessage> Message;
    {
      std::lock_guard Guard(FLock);
      if (!Slot->Listener || Slot->Held.empty()) return;
      Listener = Slot->Listener;
      Message = TakeHeld(*Slot);
      More = !Slot->Held.empty();
    }
    try {
      Listener->OnMessage(Message);
    } catch (const std::exception& Error) {
      FClient.GetLogger()->Error(u"Message listener failed: " + Utf8ToUtf16(Error.what()));
    }
  }
}

std::shared_ptr<IMessage> TVQMessageRouter::TakeHeld(TVQConsumerSlot& Slot) {
  if (Slot.Held.empty()) return nullptr;
  std::shared_ptr<IMessage> Message = std::move(Slot.Held.front());
  Slot.Held.pop_front();
  return Message;
}

// Reading is the client's: it reads for every waiting call, or waits for the thread that
// does. A loss ends the wait unless a reconnection follows.
std::shared_ptr<IMessage> TVQMessageRouter::Receive(const TVQConsumerSlotRef& Slot, int32_t Timeout) {
  if (!FClient.IsResumable()) FClient.CheckConnected("Receive");
  const auto Lost = [this] { return FClient.IsConnectionLost() && !FClient.IsResumable(); };
  std::shared_ptr<IMessage> Message;
  bool Removed = false;
  FClient.AwaitFrames(
      [&] {
        std::lock_guard Guard(FLock);
        Removed = Slot->Removed;
        if (!Removed) Message = TakeHeld(*Slot);
        return Message || Removed || Lost();
      },
      Timeout);
  if (Message) return Message;
  if (Removed) throw EIllegalStateException("The consumer is closed");
  if (Lost()) FClient.CheckConnected("Receive");
  return nullptr;
}

void WarnUnmatchedMessage(TVQJMSClient& Client, const IMessage& Message) {
  Client.GetLogger()->Warn(u"Found no Matching Consumer for message " + Utf8ToUtf16(Message.GetJMSMessageID()));
}

}  // namespace vq
