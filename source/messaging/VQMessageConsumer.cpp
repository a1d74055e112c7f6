#include <vqstomp/VQMessageConsumer.h>

#include <vqstomp/VQJMSConnection.h>

#include "messaging/VQMessageRouter.h"

namespace vq {

TVQMessageConsumer::TVQMessageConsumer(const std::shared_ptr<TVQJMSSession>& Session,
                                       std::unique_ptr<TVQConsumerID> ConsumerID,
                                       std::shared_ptr<IDestination> Destination)
    : FSession(Session),
      FAcknowledger(std::static_pointer_cast<IMessageAcknowledger>(Session)),
      FConsumerID(std::move(ConsumerID)),
      FDestination(std::move(Destination)) {}

std::shared_ptr<TVQJMSSession> TVQMessageConsumer::Session() const {
  auto Session = FSession.lock();
  if (!Session) throw EIllegalStateException("The session of this consumer has been released");
  return Session;
}

std::shared_ptr<IMessageListener> TVQMessageConsumer::GetMessageListener() const {
  std::lock_guard Guard(FLock);
  return FListener;
}

void TVQMessageConsumer::StoreListener(std::shared_ptr<IMessageListener> Listener) {
  std::lock_guard Guard(FLock);
  FListener = std::move(Listener);
}

void TVQMessageConsumer::SetMessageListener(std::shared_ptr<IMessageListener> Listener) {
  if (FClosed) throw EIllegalStateException("The consumer is closed");
  const auto Connection = Session()->Connection();
  Connection->GetRouter().SetListener(FSlot, *this, std::move(Listener));
  Connection->UpdateReceiving();
}

std::shared_ptr<IMessage> TVQMessageConsumer::Receive(int32_t Timeout) {
  if (FClosed) throw EIllegalStateException("The consumer is closed");
  if (GetMessageListener())
    throw EIllegalStateException("Receive is not possible on a consumer with a message listener");
  const auto Connection = Session()->Connection();
  if (Connection->IsClosed()) throw EIllegalStateException("The connection is closed");
  return Connection->GetRouter().Receive(FSlot, Timeout);
}

// With its session gone there is nothing left to unsubscribe through.
void TVQMessageConsumer::Close() {
  if (const auto Owner = FSession.lock())
    Owner->CloseConsumer(*this);
  else
    FClosed = true;
}

}  // namespace vq
