#include <vqstomp/VQMessageProducer.h>

#include <vqstomp/VQJMSConnection.h>

namespace vq {

TVQMessageProducer::TVQMessageProducer(std::weak_ptr<TVQJMSSession> Session, std::shared_ptr<IDestination> Destination)
    : FSession(std::move(Session)),
      FDestination(std::move(Destination)),
      FDestinationName(FindDestinationName(FDestination.get())) {
  if (const auto Owner = FSession.lock()) FSyncSend = Owner->Connection()->GetSyncSend();
}

void TVQMessageProducer::Send(const std::shared_ptr<IMessage>& Message) {
  if (!FDestination) throw Exception("No Destination");
  // A destination of another kind is refused there.
  if (!FDestinationName) return Send(FDestination, Message);
  SendTo(*FDestinationName, Message);
}

void TVQMessageProducer::Send(const std::shared_ptr<IDestination>& Destination,
                              const std::shared_ptr<IMessage>& Message) {
  SendTo(DestinationName(Destination), Message);
}

void TVQMessageProducer::SendTo(const std::string& DestinationName, const std::shared_ptr<IMessage>& Message) {
  const auto Session = FSession.lock();
  if (!Session) throw EIllegalStateException("The session of this producer has been released");
  const auto Connection = Session->Connection();
  if (Session->GetTransacted()) Message->GetProperties()->SetString("transaction", Session->GetTransactionID());
  if (!Connection->HasFailover()) return Transmit(Connection->GetClient(), DestinationName, Message);
  // Each turn of the loop follows a loss and a reconnection.
  for (;;) {
    Connection->AwaitLink();
    try {
      return Transmit(Connection->GetClient(), DestinationName, Message);
    } catch (const EVQStompReceiptLost&) {
      if (!Connection->ResendsUnconfirmed()) throw;
    } catch (const EVQStompClientNotConnectedError&) {
      // Lost before a byte was written: sending once reconnected sends it once.
    } catch (const EVQCommError&) {
      if (!Connection->ResendsUnconfirmed()) throw;
    }
  }
}

void TVQMessageProducer::Transmit(TVQJMSClient& Client, const std::string& DestinationName,
                                  const std::shared_ptr<IMessage>& Message) const {
  if (FSyncSend)
    Client.Confirmed([&](std::string_view Receipt) { Client.SendMessage(Message, DestinationName, Receipt); });
  else
    Client.SendMessage(Message, DestinationName, "");
}

}  // namespace vq
