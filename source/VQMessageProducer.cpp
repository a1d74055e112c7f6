#include "VQMessageProducer.h"

#include "VQJMSConnection.h"

namespace vq {

TVQMessageProducer::TVQMessageProducer(std::weak_ptr<TVQJMSSession> Session, std::shared_ptr<IDestination> Destination)
    : FSession(std::move(Session)), FDestination(std::move(Destination)) {}

void TVQMessageProducer::Send(const std::shared_ptr<IMessage>& Message) {
  if (!FDestination) throw Exception("No Destination");
  Send(FDestination, Message);
}

void TVQMessageProducer::Send(const std::shared_ptr<IDestination>& Destination,
                              const std::shared_ptr<IMessage>& Message) {
  const std::string Name = DestinationName(Destination, "...");
  const auto Session = FSession.lock();
  if (!Session) throw EIllegalStateException("The session of this producer has been released");
  const auto Connection = Session->Connection();
  if (Session->GetTransacted()) Message->GetProperties()->SetString("transaction", Session->GetTransactionID());
  Connection->GetClient().SendMessage(Message, Name, "");
}

}  // namespace vq
