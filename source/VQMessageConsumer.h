#pragma once

#include <memory>
#include <mutex>

#include "VQConsumerID.h"
#include "VQJMSInterfaces.h"

namespace vq {

class TVQJMSSession;
class TVQJMSClient;

// One subscription of a session: polled with Receive, or served by a listener on the
// transport's read thread.
class TVQMessageConsumer : public IMessageConsumer, public IConsumerIdentity {
public:
  TVQMessageConsumer(std::weak_ptr<TVQJMSSession> Session, std::unique_ptr<TVQConsumerID> ConsumerID,
                     std::shared_ptr<IDestination> Destination);

  std::shared_ptr<IMessageListener> GetMessageListener() const override;
  // A listener starts background reading on the connection, whatever the session's state.
  void SetMessageListener(std::shared_ptr<IMessageListener> Listener) override;
  std::shared_ptr<IMessage> Receive() override { return Receive(0); }
  // Refused with EIllegalStateException while a listener reads on this connection.
  std::shared_ptr<IMessage> Receive(int32_t Timeout) override;
  const TVQConsumerID& GetConsumerID() const override { return *FConsumerID; }

private:
  std::shared_ptr<TVQJMSSession> Session() const;

  const std::weak_ptr<TVQJMSSession> FSession;
  const std::unique_ptr<TVQConsumerID> FConsumerID;
  const std::shared_ptr<IDestination> FDestination;
  mutable std::mutex FLock;
  std::shared_ptr<IMessageListener> FListener;
};

}  // namespace vq
