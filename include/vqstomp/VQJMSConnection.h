#pragma once

/// @file
/// The connection and its sessions, and the acknowledgement modes.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <vqstomp/VQConnectionOptions.h>
#include <vqstomp/VQJMSClient.h>
#include <vqstomp/VQJMSInterfaces.h>
#include <vqstomp/VQJMSMessage.h>

namespace vq {

class TVQJMSSession;
class TVQMessageConsumer;
class TVQTransactionContext;
class TVQMessageRouter;
class TVQFailover;
template <typename T>
class TThreadList;

/// Consumers subscribe with "ack" "client"; the application acknowledges each message.
inline constexpr uint8_t AckModeClient = 0;
/// The session runs one transaction after the other; consumers acknowledge automatically.
inline constexpr uint8_t AckModeTransacted = 1;
/// Consumers subscribe with "ack" "auto": the broker counts a message as taken once sent.
/// Every value other than the named ones means the same.
inline constexpr uint8_t AckModeAuto = 3;
/// Consumers subscribe with "ack" "client-individual": acknowledging a message takes
/// that one message only, where "client" also takes every earlier one of the consumer.
inline constexpr uint8_t AckModeClientIndividual = 4;

/// The application's entry point: owns the messaging client and hands every incoming
/// message to the consumer of its subscription. Its calls may come from any thread;
/// sessions, consumers and producers refer back to it without keeping it alive.
class TVQJMSConnection : public IConnection, public std::enable_shared_from_this<TVQJMSConnection> {
public:
  /// Builds the client and its settings; no network activity until Start.
  static std::shared_ptr<TVQJMSConnection> CreateConnection(const std::string& Username, const std::string& Password,
                                                            const std::string& Host, int32_t Port);
  /// The same from one options object, with failover when Options.Reconnect.Enabled.
  static std::shared_ptr<TVQJMSConnection> CreateConnection(const TVQConnectionOptions& Options);
  /// Takes over Client and installs its message and exception handlers. Hold the
  /// connection in a std::shared_ptr: CreateSession needs one.
  explicit TVQJMSConnection(std::unique_ptr<TVQJMSClient> Client);
  /// Ends the client, and with it the read thread, before the sessions are let go.
  ~TVQJMSConnection() override;

  std::string GetClientID() const override;
  void SetClientID(const std::string& Value) override;
  /// Connects unless connected, then starts the sessions. Raises "Connection is closed"
  /// after Close, before any connection attempt; otherwise what connecting raises:
  /// EIdTimeout, EIdSocketError or EVQCommError, EVQStompServerErrorMessage for a refusal.
  /// With failover it tries each broker of the list once, in order, and raises what the
  /// last one raised.
  void Start() override;
  /// Stops the sessions, and with them the background reading; the link stays open.
  void Stop() override;
  /// Stops the sessions and disconnects; on a lost connection it only releases the socket.
  /// Returns within about a second (with failover, after a connection attempt under way,
  /// which the connect time-out bounds); waiting Receive calls return none. A second Close
  /// does nothing; one before any connection raises EVQStompClientAlreadyDisconnectedError.
  void Close() override;
  /// Transacted when Transacted is true or the mode is AckModeTransacted. Started at once
  /// when the connection is; raises EIllegalStateException after Close.
  std::shared_ptr<ISession> CreateSession(bool Transacted, uint8_t AcknowledgeMode) override;
  void SetExceptionListener(std::shared_ptr<IExceptionListener> Listener) override;
  std::shared_ptr<IExceptionListener> GetExceptionListener() const override;

  /// Milliseconds that Start may take to connect and get the broker's answer (default
  /// 30 000); set before Start. Start raises EIdTimeout naming host, port and time-out.
  void SetConnectTimeout(int32_t Milliseconds);
  /// The same with a std::chrono time-out.
  void SetConnectTimeout(std::chrono::milliseconds Timeout) { SetConnectTimeout(TimeoutMilliseconds(Timeout)); }
  /// Milliseconds a send or acknowledgement may wait for the kernel to take its bytes
  /// (default 30 000); past it the call raises and the connection is lost.
  void SetWriteTimeout(int32_t Milliseconds);
  /// The same with a std::chrono time-out.
  void SetWriteTimeout(std::chrono::milliseconds Timeout) { SetWriteTimeout(TimeoutMilliseconds(Timeout)); }
  /// The largest frame taken from the broker in bytes (default 100 MiB); a larger one
  /// loses the connection before its bytes are held. Set before Start.
  void SetMaxFrameSize(size_t Bytes) { FClient->SetMaxFrameSize(Bytes); }
  /// Producers made from now on wait for a receipt of every send (see
  /// IMessageProducer::SetSyncSend).
  void SetSyncSend(bool Value) { FSyncSend = Value; }
  /// Producers are made synchronous.
  bool GetSyncSend() const { return FSyncSend; }
  /// Subscribing, acknowledging, NACK, commit and rollback wait for the broker's receipt,
  /// for the receipt time-out: they then raise the broker's ERROR or
  /// EVQStompReceiptTimeout instead of returning before the broker has the frame.
  void SetSyncCommands(bool Value) { FSyncCommands = Value; }
  /// Session commands wait for their receipts.
  bool GetSyncCommands() const { return FSyncCommands; }

  /// Reconnects after a loss, to the brokers in order (see TVQReconnectOptions); set
  /// before Start. CreateConnection(Options) calls it when Options.Reconnect.Enabled.
  void EnableFailover(std::vector<TVQBrokerAddress> Brokers, TVQReconnectOptions Options);
  /// Reconnects after a loss.
  bool HasFailover() const { return FFailover != nullptr; }
  /// Told of interruptions and resumptions under failover.
  void SetTransportListener(std::shared_ptr<ITransportListener> Listener);
  std::shared_ptr<ITransportListener> GetTransportListener() const;
  /// "host:port" of the broker connected to, or last connected to.
  std::string GetBroker() const;
  /// Under failover, waits for a reconnection under way, up to the resume time-out;
  /// raises EVQStompConnectionLostError past it or once reconnection gave up. Does
  /// nothing without failover or while connected.
  void AwaitLink() const;
  /// A synchronous send whose receipt a loss took is sent again (at least once).
  bool ResendsUnconfirmed() const { return FResendUnconfirmed; }

  /// The messaging client, such as for its logger (GetClient().GetLogger()). Its message
  /// and exception handlers belong to the connection: use SetExceptionListener instead.
  TVQJMSClient& GetClient() const { return *FClient; }
  /// The router of incoming messages; its type is internal to the library.
  TVQMessageRouter& GetRouter() { return *FRouter; }
  /// Start ran and no Stop or Close since.
  bool IsStarted() const { return FStarted; }
  /// Close ran.
  bool IsClosed() const { return FClosed; }
  /// Background reading runs while a started session has a consumer with a listener.
  void UpdateReceiving();
  /// Forgets Session; its Close calls this.
  void RemoveSession(const TVQJMSSession& Session);

private:
  void HandleException(const Exception& Error);
  // The failover's steps, on its thread.
  void Interrupted(const Exception& Cause);
  void Restore();
  void Resumed(const std::string& Broker);
  void GaveUp(const Exception& Cause);
  void Report(const Exception& Error);
  // Runs a call of a listener of the application; a failure is logged as Who's.
  template <typename TCall>
  void Notify(const char* Who, TCall&& Call);

  std::unique_ptr<TVQJMSClient> FClient;
  const std::unique_ptr<TVQMessageRouter> FRouter;
  mutable std::mutex FLock;
  std::string FClientID;
  std::shared_ptr<IExceptionListener> FExceptionListener;
  std::shared_ptr<ITransportListener> FTransportListener;
  std::unique_ptr<TVQFailover> FFailover;
  int32_t FResumeTimeout = 0;
  bool FResendUnconfirmed = false;
  // Deciding and switching background reading is one step.
  std::mutex FReceivingLock;
  const std::unique_ptr<TThreadList<std::shared_ptr<TVQJMSSession>>> FSessions;
  std::atomic<bool> FStarted{false};
  std::atomic<bool> FClosed{false};
  std::atomic<bool> FSyncSend{false};
  std::atomic<bool> FSyncCommands{false};
};

/// The factory for destinations, messages, consumers and producers, and the unit of
/// acknowledgement and transactions. Its calls may come from any thread.
class TVQJMSSession : public ISession, public IMessageAcknowledger, public std::enable_shared_from_this<TVQJMSSession> {
public:
  /// Made by TVQJMSConnection::CreateSession; transacted when Transacted is true or the
  /// mode is AckModeTransacted. Created stopped.
  TVQJMSSession(std::weak_ptr<TVQJMSConnection> Connection, bool Transacted, uint8_t AcknowledgeMode);
  ~TVQJMSSession() override;

  /// Ends an open transaction with ABORT, unsubscribes every consumer and leaves the
  /// connection; a second Close does nothing. Frames are written only while connected.
  void Close() override;
  void Commit() override;
  std::shared_ptr<IBytesMessage> CreateBytesMessage() override;
  std::shared_ptr<IMessageConsumer> CreateConsumer(const std::shared_ptr<IDestination>& Destination) override;
  std::shared_ptr<IMessage> CreateMessage() override;
  std::shared_ptr<IMessageProducer> CreateProducer(const std::shared_ptr<IDestination>& Destination) override;
  std::shared_ptr<IQueue> CreateQueue(const std::string& Name) override;
  std::shared_ptr<ITextMessage> CreateTextMessage() override;
  std::shared_ptr<ITextMessage> CreateTextMessage(const std::u16string& Text) override;
  std::shared_ptr<ITextMessage> CreateTextMessage(const std::string& Utf8) override;
  std::shared_ptr<ITopic> CreateTopic(const std::string& Name) override;
  /// Hands the message to the listener of this session's consumer of its subscription.
  void DispatchMessage(const std::shared_ptr<IMessage>& Message) override;
  bool GetTransacted() const override { return FTransacted; }
  void Rollback() override;
  void Start() override;
  void Stop() override;
  /// Writes ACK for Message in AckModeClient and AckModeClientIndividual, within the
  /// session's transaction when it is transacted; nothing in the other modes. Raises
  /// EIllegalStateException once closed.
  void AcknowledgeMessage(const IMessage& Message) override;
  /// Writes NACK for Message in the modes that acknowledge; EIllegalStateException in
  /// the others or once closed.
  void NackMessage(const IMessage& Message) override;

  /// The connection was lost: an open transaction is gone with it.
  void Interrupted();
  /// Connected again: subscribes every consumer again and begins a transaction.
  void Restore();
  /// The application acknowledges (AckModeClient, AckModeClientIndividual).
  bool AcknowledgesByClient() const;
  /// The mode the session was made with.
  uint8_t GetAcknowledgeMode() const { return FAcknowledgeMode; }
  /// Start ran and no Stop or Close since.
  bool IsStarted() const { return FStarted; }
  /// A consumer of this session has a listener.
  bool HasListener() const;
  /// The identifier of the session's transactions: one GUID for the session's life.
  const std::string& GetTransactionID() const;
  /// Unsubscribes Consumer and forgets it; TVQMessageConsumer::Close calls this.
  void CloseConsumer(TVQMessageConsumer& Consumer);
  /// The connection, kept alive for the caller; raises EIllegalStateException once released.
  std::shared_ptr<TVQJMSConnection> Connection() const;

private:
  void CheckStarted() const;
  // Raises for a message that came on a connection lost since.
  void CheckReceivedOnThisConnection(const IMessage& Message, const TVQJMSConnection& Owner) const;
  void Subscribe(TVQJMSConnection& Owner, const TVQMessageConsumer& Consumer);
  // The "ack" of this session's subscriptions.
  TStompAckMode SubscriptionAck() const;
  // ACK when Taken, else NACK.
  void Settle(const IMessage& Message, bool Taken);
  // Writes through Write, passing a receipt to wait for when the connection says so.
  template <typename TWrite>
  void Command(TVQJMSConnection& Owner, TWrite&& Write);
  void BeginIfTransacted();
  // BeginIfTransacted, under FRestoreLock.
  void BeginLocked();
  void EndTransaction(bool Commit);
  void TellBrokerOfClose(TVQJMSClient& Client);
  void Leave(TVQJMSConnection* Owner);
  void Detach(TVQMessageConsumer& Consumer, TVQJMSConnection* Owner);

  const bool FTransacted;
  const uint8_t FAcknowledgeMode;
  const std::weak_ptr<TVQJMSConnection> FConnection;
  const std::unique_ptr<TVQTransactionContext> FTransactionContext;
  const std::unique_ptr<TThreadList<std::shared_ptr<TVQMessageConsumer>>> FConsumers;
  std::atomic<bool> FStarted{false};
  std::atomic<bool> FClosed{false};
  std::atomic<bool> FTransactionOpen{false};
  // The open transaction was lost with the connection; the next Commit says so.
  std::atomic<bool> FTransactionLost{false};
  // SUBSCRIBE and BEGIN, which a reconnection repeats, are written one at a time.
  std::mutex FRestoreLock;
};

/// The name of a queue or topic; none for any other destination.
std::optional<std::string> FindDestinationName(const IDestination* Destination);
/// The name of a queue or topic; any other destination raises EInvalidDestinationException.
std::string DestinationName(const std::shared_ptr<IDestination>& Destination);

}  // namespace vq
