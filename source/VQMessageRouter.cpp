#include "VQMessageRouter.h"

#include "VQJMSClient.h"
#include "VQJMSMessage.h"
#include "VQMessageConsumer.h"
#include "VQUnicode.h"

namespace vq {

struct TVQMessageRouter::TSlot {
  std::shared_ptr<TVQMessageConsumer> Consumer;
  std::string Destination;
  std::deque<std::shared_ptr<TVQJMSMessage>> Held;
  bool Removed = false;
};

void TVQMessageRouter::Add(const std::shared_ptr<TVQMessageConsumer>& Consumer, std::string Destination) {
  auto Slot = std::make_shared<TSlot>(TSlot{Consumer, std::move(Destination), {}, false});
  std::lock_guard Guard(FLock);
  FSlots.insert_or_assign(Consumer->GetConsumerID().ConsumerID, std::move(Slot));
}

void TVQMessageRouter::Remove(const TVQMessageConsumer& Consumer) {
  std::lock_guard Guard(FLock);
  const auto Found = FSlots.find(Consumer.GetConsumerID().ConsumerID);
  if (Found == FSlots.end()) return;
  Found->second->Removed = true;
  Found->second->Held.clear();
  FSlots.erase(Found);
  FChanged.notify_all();
}

void TVQMessageRouter::Wake() {
  std::lock_guard Guard(FLock);
  FChanged.notify_all();
}

// STOMP 1.0 lets a broker leave out "subscription": the destination then decides, when
// only one consumer takes from it.
TVQMessageRouter::TSlotRef TVQMessageRouter::FindSlot(const TVQJMSMessage& Message) const {
  const std::string_view Subscription = Message.PropertyText("subscription");
  if (!Subscription.empty()) {
    const auto Found = FSlots.find(Subscription);
    return Found == FSlots.end() ? nullptr : Found->second;
  }
  const std::string_view Destination = Message.PropertyText("destination");
  TSlotRef Match;
  for (const auto& [Id, Slot] : FSlots) {
    if (Slot->Destination != Destination) continue;
    if (Match) return nullptr;
    Match = Slot;
  }
  return Match;
}

TVQMessageRouter::TSlotRef TVQMessageRouter::SlotOf(const TVQMessageConsumer& Consumer) const {
  const auto Found = FSlots.find(Consumer.GetConsumerID().ConsumerID);
  return Found == FSlots.end() ? nullptr : Found->second;
}

void TVQMessageRouter::Route(const std::shared_ptr<TVQJMSMessage>& Message) {
  TSlotRef Slot;
  {
    std::lock_guard Guard(FLock);
    Slot = FindSlot(*Message);
    if (Slot) {
      Message->SetAcknowledger(Slot->Consumer->GetAcknowledger());
      Slot->Held.push_back(Message);
      if (!Slot->Consumer->GetMessageListener()) {
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

void TVQMessageRouter::SetListener(TVQMessageConsumer& Consumer, std::shared_ptr<IMessageListener> Listener) {
  std::lock_guard Delivering(FDeliverLock);
  TSlotRef Slot;
  {
    std::lock_guard Guard(FLock);
    Consumer.StoreListener(std::move(Listener));
    Slot = SlotOf(Consumer);
  }
  if (Slot) Deliver(Slot);
}

// A failing listener must not stop later deliveries; in client acknowledgement mode its
// message stays unacknowledged, so the broker delivers it again on the next connection.
void TVQMessageRouter::Deliver(const TSlotRef& Slot) {
  std::lock_guard Delivering(FDeliverLock);
  for (;;) {
    std::shared_ptr<IMessageListener> Listener;
    std::shared_ptr<TVQJMSMessage> Message;
    {
      std::lock_guard Guard(FLock);
      Listener = Slot->Consumer->GetMessageListener();
      if (!Listener || Slot->Held.empty()) return;
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

std::shared_ptr<IMessage> TVQMessageRouter::Receive(const TVQMessageConsumer& Consumer, int32_t Timeout) {
  const TDeadline Deadline(Timeout);
  std::unique_lock Guard(FLock);
  const TSlotRef Slot = SlotOf(Consumer);
  if (!Slot) throw EIllegalStateException("The consumer is closed");
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
  bool Open = true;
  try {
    FClient.ReceiveFrame(Timeout);
  } catch (const EVQCommError&) {
    // Close shuts the socket down under a waiting reader; that is no failure of Receive.
    Open = false;
    if (!FClient.IsDisconnecting()) {
      EndReading(Guard);
      throw;
    }
  } catch (...) {
    EndReading(Guard);
    throw;
  }
  EndReading(Guard);
  return Open;
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
