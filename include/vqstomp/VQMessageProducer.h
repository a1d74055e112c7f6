#pragma once

/// @file
/// The producer a session makes.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <vqstomp/VQJMSInterfaces.h>

namespace vq {

class TVQJMSSession;
class TVQJMSClient;

/// Sends messages to its default destination or to one given per call; in a transacted
/// session every message joins the session's open transaction.
class TVQMessageProducer : public IMessageProducer {
public:
  /// Made by TVQJMSSession::CreateProducer; Destination may be none. The session is not
  /// kept alive.
  TVQMessageProducer(std::weak_ptr<TVQJMSSession> Session, std::shared_ptr<IDestination> Destination);

  void SetDeliveryMode(uint8_t Value) override { FDeliveryMode = Value; }
  void SetPriority(uint8_t Value) override { FPriority = Value; }
  void SetTimeToLive(int32_t Value) override { FTimeToLive = Value; }
  uint8_t GetDeliveryMode() const override { return FDeliveryMode; }
  uint8_t GetPriority() const override { return FPriority; }
  int32_t GetTimeToLive() const override { return FTimeToLive; }
  void Send(const std::shared_ptr<IDestination>& Destination, const std::shared_ptr<IMessage>& Message) override;
  void Send(const std::shared_ptr<IMessage>& Message) override;
  void SetSyncSend(bool Value) override { FSyncSend = Value; }
  bool GetSyncSend() const override { return FSyncSend; }

private:
  void SendTo(const std::string& DestinationName, const std::shared_ptr<IMessage>& Message);
  void Transmit(TVQJMSClient& Client, const std::string& DestinationName,
                const std::shared_ptr<IMessage>& Message) const;

  const std::weak_ptr<TVQJMSSession> FSession;
  const std::shared_ptr<IDestination> FDestination;
  // Looked up once: a queue or topic keeps its name.
  const std::optional<std::string> FDestinationName;
  uint8_t FDeliveryMode = 0;
  int32_t FTimeToLive = 0;
  uint8_t FPriority = 0;
  std::atomic<bool> FSyncSend{false};
};

}  // namespace vq
