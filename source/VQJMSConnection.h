#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VQJMSClient.h"
#include "VQJMSInterfaces.h"
#include "VQThreadList.h"

namespace vq {

class TVQJMSSession;
class TVQMessageConsumer;
class TVQTransactionContext;

// The session is stopped, or an object outlived what it belongs to.
class EIllegalStateException : public Exception {
public:
  using Exception::Exception;
};

// Consumers subscribe with "ack" "client"; the application acknowledges each message.
inline constexpr uint8_t AckModeClient = 0;
// The session runs one transaction after the other; consumers acknowledge automatically.
inline constexpr uint8_t AckModeTransacted = 1;

// The application's entry point: owns the messaging client and relays every incoming
// message to its sessions.
class TVQJMSConnection : public IConnection, public std::enable_shared_from_this<TVQJMSConnection> {
public:
  // Builds the client and its settings; no network activity until Start.
  static std::shared_ptr<TVQJMSConnection> CreateConnection(const std::string& Username, const std::string& Password,
                                                            const std::string& Host, int32_t Port);
  explicit TVQJMSConnection(std::unique_ptr<TVQJMSClient> Client);
  ~TVQJMSConnection() override;

  std::string GetClientID() const override;
  void SetClientID(const std::string& Value) override;
  void Start() override;
  void Stop() override;
  void Close() override;
  std::shared_ptr<ISession> CreateSession(bool Transacted, uint8_t AcknowledgeMode) override;

  TVQJMSClient& GetClient() const { return *FClient; }
  bool IsStarted() const { return FStarted; }

private:
  void HandleMessage(const std::shared_ptr<IMessage>& Message);

  std::unique_ptr<TVQJMSClient> FClient;
  mutable std::mutex FLock;
  std::string FClientID;
  TThreadList<std::shared_ptr<TVQJMSSession>> FSessions;
  std::atomic<bool> FStarted{false};
  std::atomic<bool> FClosed{false};
};

// The factory for destinations, messages, consumers and producers, and the unit of
// acknowledgement and transactions.
class TVQJMSSession : public ISession, public std::enable_shared_from_this<TVQJMSSession> {
public:
  // Whether a listener took a message: decides the warning for unmatched messages.
  struct TDispatchResult {
    bool AnyListener = false;
    bool Delivered = false;
  };

  TVQJMSSession(std::weak_ptr<TVQJMSConnection> Connection, uint8_t AcknowledgeMode);
  ~TVQJMSSession() override;

  void Close() override;
  void Commit() override;
  std::shared_ptr<IBytesMessage> CreateBytesMessage() override;
  std::shared_ptr<IMessageConsumer> CreateConsumer(const std::shared_ptr<IDestination>& Destination) override;
  std::shared_ptr<IMessage> CreateMessage() override;
  std::shared_ptr<IMessageProducer> CreateProducer(const std::shared_ptr<IDestination>& Destination) override;
  std::shared_ptr<IQueue> CreateQueue(const std::string& Name) override;
  std::shared_ptr<ITextMessage> CreateTextMessage() override;
  std::shared_ptr<ITextMessage> CreateTextMessage(const std::u16string& Text) override;
  std::shared_ptr<ITopic> CreateTopic(const std::string& Name) override;
  void DispatchMessage(const std::shared_ptr<IMessage>& Message) override;
  bool GetTransacted() const override { return FAcknowledgeMode == AckModeTransacted; }
  void Rollback() override;
  void Start() override;
  void Stop() override;

  uint8_t GetAcknowledgeMode() const { return FAcknowledgeMode; }
  const std::string& GetTransactionID() const;
  // Hands the message to the listener consumer of its subscription, if this session has it.
  TDispatchResult TryDispatch(const std::shared_ptr<IMessage>& Message);
  // The connection, kept alive for the caller; raises EIllegalStateException once released.
  std::shared_ptr<TVQJMSConnection> Connection() const;

private:
  void CheckStarted() const;
  void BeginIfTransacted();
  void EndTransaction(bool Commit);
  void CloseConsumers();
  void Deliver(IMessageListener& Listener, const std::shared_ptr<IMessage>& Message);
  void SetReceiving(bool Receiving);

  const uint8_t FAcknowledgeMode;
  const std::weak_ptr<TVQJMSConnection> FConnection;
  const std::unique_ptr<TVQTransactionContext> FTransactionContext;
  TThreadList<std::shared_ptr<TVQMessageConsumer>> FConsumers;
  std::atomic<bool> FStarted{false};
};

// The name of a queue or topic; none for any other destination.
std::optional<std::string> FindDestinationName(const IDestination* Destination);
// The name of a queue or topic; any other destination raises Refusal.
std::string DestinationName(const std::shared_ptr<IDestination>& Destination, const char* Refusal);

// Warns through the client's logger that no listener took a message.
void WarnUnmatchedMessage(TVQJMSClient& Client, const IMessage& Message);

}  // namespace vq
