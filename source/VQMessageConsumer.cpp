#include "VQMessageConsumer.h"

#include "VQJMSConnection.h"

namespace vq {

TVQMessageConsumer::TVQMessageConsumer(std::weak_ptr<TVQJMSSession> Session, std::unique_ptr<TVQConsumerID> ConsumerID,
                                       std::shared_ptr<IDestination> Destination)
    : FSession(std::move(Session)), FConsumerID(std::move(ConsumerID)), FDestination(std::move(Destination)) {}

std::shared_ptr<TVQJMSSession> TVQMessageConsumer::Session() const {
  auto Session = FSession.lock();
  if (!Session) throw EIllegalStateException("The session of this consumer has been released");
  return Session;
}

std::shared_ptr<IMessageListener> TVQMessageConsumer::GetMessageListener() const {
  std::lock_guard Guard(FLock);
  return FListener;
}

void TVQMessageConsumer::SetMessageListener(std::shared_ptr<IMessageListener> Listener) {
  if (Listener) Session()->Connection()->GetClient().GetCommAdapter()->StartReceiving();
  std::lock_guard Guard(FLock);
  FListener = std::move(Listener);
}

std::shared_ptr<IMessage> TVQMessageConsumer::Receive(int32_t Timeout) {
  const auto Connection = Session()->Connection();
  TVQJMSClient& Client = Connection->GetClient();
  // Two threads reading one socket would tear frames apart.
  if (Client.GetCommAdapter()->IsReceiving())
    throw EIllegalStateException("Receive is not possible while a message listener is active on this connection");
  return Client.Receive(Timeout);
}

}  // namespace vq
