#include <vqstomp/VQJMSConnection.h>

#include <vqstomp/VQJMSBytesMessage.h>
#include <vqstomp/VQJMSTextMessage.h>
#include <vqstomp/VQMessageConsumer.h>
#include <vqstomp/VQMessageProducer.h>
#include <vqstomp/VQQueue.h>
#include <vqstomp/VQTopic.h>

#include "messaging/VQFailover.h"
#include "messaging/VQMessageRouter.h"
#include "messaging/VQTransactionContext.h"
#include "support/VQThreadList.h"
#include "support/VQUnicode.h"
#include "transport/VQCommInterfaces.h"

namespace vq {

// Connection

namespace {

std::unique_ptr<TVQJMSClient> MakeClient(const std::string& Username, const std::string& Password,
                                         const std::string& Host, int32_t Port, const TVQTLSOptions& TLS) {
  auto Client = std::make_unique<TVQJMSClient>();
  if (TLS.Enabled) Client->UseTLS(TLS);
  Client->SetUsername(Username);
  Client->SetPassword(Password);
  Client->SetHost(Host);
  Client->SetPort(Port);
  return Client;
}

}  // namespace

std::shared_ptr<TVQJMSConnection> TVQJMSConnection::CreateConnection(const std::string& Username,
                                                                     const std::string& Password,
                                                                     const std::string& Host, int32_t Port) {
  return std::make_shared<TVQJMSConnection>(MakeClient(Username, Password, Host, Port, {}));
}

std::shared_ptr<TVQJMSConnection> TVQJMSConnection::CreateConnection(const TVQConnectionOptions& Options) {
  if (Options.Brokers.size() > 1 && !Options.Reconnect.Enabled)
    throw EVQCommError("Several brokers are listed, but only failover (Reconnect.Enabled) moves between them");
  const TVQBrokerAddress First =
      Options.Brokers.empty() ? TVQBrokerAddress{Options.Host, Options.Port} : Options.Brokers.front();
  auto Connection = std::make_shared<TVQJMSConnection>(
      MakeClient(Options.Username, Options.Password, First.Host, First.Port, Options.TLS));
  Connection->SetConnectTimeout(Options.ConnectTimeout);
  Connection->SetWriteTimeout(Options.WriteTimeout);
  Connection->SetMaxFrameSize(Options.MaxFrameSize);
  TVQJMSClient& Client = Connection->GetClient();
  Client.SetAcceptVersion(Options.AcceptVersion);
  Client.SetVirtualHost(Options.VirtualHost);
  Client.SetHeartBeat(TimeoutMilliseconds(Options.HeartBeatSend), TimeoutMilliseconds(Options.HeartBeatReceive));
  Client.SetReceiptTimeout(TimeoutMilliseconds(Options.ReceiptTimeout));
  Connection->SetSyncSend(Options.SyncSend);
  Connection->SetSyncCommands(Options.SyncCommands);
  if (Options.Reconnect.Enabled)
    Connection->EnableFailover(Options.Brokers.empty() ? std::vector<TVQBrokerAddress>{First} : Options.Brokers,
                               Options.Reconnect);
  return Connection;
}

TVQJMSConnection::TVQJMSConnection(std::unique_ptr<TVQJMSClient> Client)
    : FClient(std::move(Client)),
      FRouter(std::make_unique<TVQMessageRouter>(*FClient)),
      FSessions(std::make_unique<TThreadList<std::shared_ptr<TVQJMSSession>>>()) {
  FClient->SetOnMessage([this](TVQJMSClient&, const std::shared_ptr<TVQJMSMessage>& Message) { FRouter->Route(Message); });
  FClient->SetOnException([this](TVQStompCustomClient&, const Exception& Error) { HandleException(Error); });
}

// Reconnection ends first, then the client: its read thread may still be delivering to
// the sessions.
TVQJMSConnection::~TVQJMSConnection() {
  FFailover.reset();
  FClient.reset();
}

void TVQJMSConnection::EnableFailover(std::vector<TVQBrokerAddress> Brokers, TVQReconnectOptions Options) {
  if (FStarted || FClosed || FFailover) throw EIllegalStateException("Failover is enabled once, before Start");
  FResumeTimeout = TimeoutMilliseconds(Options.ResumeTimeout);
  FResendUnconfirmed = Options.ResendUnconfirmed;
  FFailover = std::make_unique<TVQFailover>(
      *FClient, std::move(Brokers), std::move(Options),
      TVQFailoverSteps{[this](const Exception& Cause) { Interrupted(Cause); }, [this] { Restore(); },
                       [this](const std::string& Broker) { Resumed(Broker); },
                       [this](const Exception& Cause) { GaveUp(Cause); }});
}

void TVQJMSConnection::SetTransportListener(std::shared_ptr<ITransportListener> Listener) {
  std::lock_guard Guard(FLock);
  FTransportListener = std::move(Listener);
}

std::shared_ptr<ITransportListener> TVQJMSConnection::GetTransportListener() const {
  std::lock_guard Guard(FLock);
  return FTransportListener;
}

std::string TVQJMSConnection::GetBroker() const {
  return FFailover ? FFailover->CurrentBroker() : TVQBrokerAddress{FClient->GetHost(), FClient->GetPort()}.Text();
}

void TVQJMSConnection::AwaitLink() const {
  if (!FFailover || FFailover->IsUp() || FFailover->AwaitUp(FResumeTimeout)) return;
  if (FFailover->HasEnded())
    FClient->CheckConnected("(reconnection gave up)");
  throw EVQStompConnectionLostError("The connection to the broker was lost and was not made again within " +
                                    std::to_string(FResumeTimeout) + " ms");
}

// A transaction open now is gone with the connection.
void TVQJMSConnection::Interrupted(const Exception& Cause) {
  for (const auto& Session : FSessions->Snapshot()) Session->Interrupted();
  FRouter->Wake();
  if (const auto Listener = GetTransportListener()) Notify("Transport listener", [&] { Listener->OnInterrupted(Cause); });
}

// Messages held for acknowledgement came on the lost connection: the broker sends them again.
void TVQJMSConnection::Restore() {
  FRouter->ForgetUnacknowledged();
  for (const auto& Session : FSessions->Snapshot()) Session->Restore();
}

void TVQJMSConnection::Resumed(const std::string& Broker) {
  UpdateReceiving();
  if (const auto Listener = GetTransportListener()) Notify("Transport listener", [&] { Listener->OnResumed(Broker); });
}

void TVQJMSConnection::GaveUp(const Exception& Cause) {
  FRouter->Wake();
  Report(Cause);
}

template <typename TCall>
void TVQJMSConnection::Notify(const char* Who, TCall&& Call) {
  try {
    Call();
  } catch (const std::exception& Failure) {
    FClient->GetLogger()->Error(Utf8ToUtf16(std::string(Who) + " failed: " + Failure.what()));
  }
}

void TVQJMSConnection::SetConnectTimeout(int32_t Milliseconds) { FClient->GetCommAdapter()->SetConnectTimeout(Milliseconds); }

void TVQJMSConnection::SetWriteTimeout(int32_t Milliseconds) { FClient->GetCommAdapter()->SetWriteTimeout(Milliseconds); }

std::string TVQJMSConnection::GetClientID() const {
  std::lock_guard Guard(FLock);
  return FClientID;
}

void TVQJMSConnection::SetClientID(const std::string& Value) {
  std::lock_guard Guard(FLock);
  FClientID = Value;
}

void TVQJMSConnection::SetExceptionListener(std::shared_ptr<IExceptionListener> Listener) {
  std::lock_guard Guard(FLock);
  FExceptionListener = std::move(Listener);
}

std::shared_ptr<IExceptionListener> TVQJMSConnection::GetExceptionListener() const {
  std::lock_guard Guard(FLock);
  return FExceptionListener;
}

// Waiting Receive calls learn of a loss before the listener does; under failover the
// loss is the failover's.
void TVQJMSConnection::HandleException(const Exception& Error) {
  if (FClient->IsConnectionLost()) {
    if (FFailover && !FClosed) return FFailover->Interrupt(Error);
    FRouter->Wake();
  }
  Report(Error);
}

void TVQJMSConnection::Report(const Exception& Error) {
  const auto Listener = GetExceptionListener();
  if (!Listener) {
    FClient->GetLogger()->Error(u"TVQJMSConnection: " + Utf8ToUtf16(Error.what()));
    return;
  }
  Notify("Exception listener", [&] { Listener->OnException(Error); });
}

void TVQJMSConnection::Start() {
  if (FClosed) throw Exception("Connection is closed");
  if (IStompCommAdapter* Adapter = FClient->GetCommAdapter(); Adapter == nullptr || !Adapter->Connected())
    FFailover ? FFailover->ConnectFirst() : FClient->Connect();
  FStarted = true;
  for (const auto& Session : FSessions->Snapshot()) Session->Start();
}

void TVQJMSConnection::Stop() {
  if (!FStarted) return;
  FStarted = false;
  for (const auto& Session : FSessions->Snapshot()) Session->Stop();
}

void TVQJMSConnection::Close() {
  if (FClosed) return;
  if (FFailover) FFailover->Stop();
  Stop();
  try {
    FClient->Disconnect();
  } catch (const EVQStompClientAlreadyDisconnectedError&) {
    // Between two attempts of a reconnection: only the socket is left.
    if (!FFailover || FClient->GetConnectionNumber() == 0) throw;
    FClient->GetCommAdapter()->Disconnect();
  }
  FClosed = true;
  FRouter->Wake();
}

std::shared_ptr<ISession> TVQJMSConnection::CreateSession(bool Transacted, uint8_t AcknowledgeMode) {
  if (FClosed) throw EIllegalStateException("The connection is closed");
  auto Session = std::make_shared<TVQJMSSession>(weak_from_this(), Transacted, AcknowledgeMode);
  if (FStarted) Session->Start();
  FSessions->Add(Session);
  return Session;
}

void TVQJMSConnection::RemoveSession(const TVQJMSSession& Session) {
  FSessions->RemoveIf([&](const auto& Listed) { return Listed.get() == &Session; });
}

void TVQJMSConnection::UpdateReceiving() {
  std::lock_guard Guard(FReceivingLock);
  bool Wanted = false;
  for (const auto& Session : FSessions->Snapshot()) Wanted = Wanted || (Session->IsStarted() && Session->HasListener());
  if (IStompCommAdapter* Adapter = FClient->GetCommAdapter(); Adapter && Wanted != Adapter->IsReceiving())
    Wanted ? Adapter->StartReceiving() : Adapter->StopReceiving();
  FRouter->Wake();
}

std::optional<std::string> FindDestinationName(const IDestination* Destination) {
  if (const auto* Queue = dynamic_cast<const IQueue*>(Destination)) return Queue->GetQueueName();
  if (const auto* Topic = dynamic_cast<const ITopic*>(Destination)) return Topic->GetTopicName();
  return std::nullopt;
}

std::string DestinationName(const std::shared_ptr<IDestination>& Destination) {
  auto Name = FindDestinationName(Destination.get());
  if (!Name)
    throw EInvalidDestinationException(
        "Unsupported destination: use a queue or topic made by the session's CreateQueue or CreateTopic");
  return std::move(*Name);
}

// Session

TVQJMSSession::TVQJMSSession(std::weak_ptr<TVQJMSConnection> Connection, bool Transacted, uint8_t AcknowledgeMode)
    : FTransacted(Transacted || AcknowledgeMode == AckModeTransacted),
      FAcknowledgeMode(AcknowledgeMode),
      FConnection(std::move(Connection)),
      FTransactionContext(std::make_unique<TVQTransactionContext>()),
      FConsumers(std::make_unique<TThreadList<std::shared_ptr<TVQMessageConsumer>>>()) {}

TVQJMSSession::~TVQJMSSession() = default;

std::shared_ptr<TVQJMSConnection> TVQJMSSession::Connection() const {
  auto Connection = FConnection.lock();
  if (!Connection) throw EIllegalStateException("The connection of this session has been released");
  return Connection;
}

const std::string& TVQJMSSession::GetTransactionID() const { return FTransactionContext->TransactionID; }

void TVQJMSSession::CheckStarted() const {
  if (FClosed) throw EIllegalStateException("The session is closed");
  if (!FStarted) throw EIllegalStateException("EIllegalStateException");
}

bool TVQJMSSession::HasListener() const {
  for (const auto& Consumer : FConsumers->Snapshot())
    if (Consumer->GetMessageListener()) return true;
  return false;
}

void TVQJMSSession::Start() {
  if (FClosed) return;
  FStarted = true;
  Connection()->UpdateReceiving();
  BeginIfTransacted();
}

void TVQJMSSession::Stop() {
  FStarted = false;
  if (const auto Owner = FConnection.lock()) Owner->UpdateReceiving();
}

// A transaction stays open while the session is stopped: starting again begins none.
void TVQJMSSession::BeginIfTransacted() {
  CheckStarted();
  if (!GetTransacted()) return;
  std::lock_guard Guard(FRestoreLock);
  BeginLocked();
}

void TVQJMSSession::BeginLocked() {
  if (FTransactionOpen) return;
  Connection()->GetClient().BeginTrans(GetTransactionID(), "");
  FTransactionOpen = true;
}

void TVQJMSSession::Interrupted() { FTransactionLost = FTransactionOpen.load(); }

// What the broker forgot with the connection. A stopped session's transaction begins
// again too: it was open.
void TVQJMSSession::Restore() {
  if (FClosed) return;
  const auto Owner = Connection();
  std::lock_guard Guard(FRestoreLock);
  for (const auto& Consumer : FConsumers->Snapshot())
    if (!Consumer->IsClosed()) Subscribe(*Owner, *Consumer);
  if (!GetTransacted() || !(FTransactionOpen || FStarted)) return;
  FTransactionOpen = false;
  BeginLocked();
}

void TVQJMSSession::Subscribe(TVQJMSConnection& Owner, const TVQMessageConsumer& Consumer) {
  const std::string Name = DestinationName(Consumer.GetDestination());
  Command(Owner, [&](std::string_view Receipt) {
    Owner.GetClient().Subscribe(Name, SubscriptionAck(), Consumer.GetConsumerID().ConsumerID, Receipt);
  });
}

template <typename TWrite>
void TVQJMSSession::Command(TVQJMSConnection& Owner, TWrite&& Write) {
  if (Owner.GetSyncCommands())
    Owner.GetClient().Confirmed(Write);
  else
    Write(std::string_view());
}

void TVQJMSSession::Commit() { EndTransaction(true); }

void TVQJMSSession::Rollback() { EndTransaction(false); }

void TVQJMSSession::EndTransaction(bool Commit) {
  CheckStarted();
  if (!GetTransacted())
    throw EIllegalStateException(std::string(Commit ? "Commit" : "Rollback") +
                                 " needs a transacted session: create it with CreateSession(true, ...)");
  const auto Owner = Connection();
  Owner->AwaitLink();
  TVQJMSClient& Client = Owner->GetClient();
  std::lock_guard Guard(FRestoreLock);
  const bool Lost = FTransactionLost;
  FTransactionOpen = false;
  Command(*Owner, [&](std::string_view Receipt) {
    Commit && !Lost ? Client.CommitTrans(GetTransactionID(), Receipt) : Client.AbortTrans(GetTransactionID(), Receipt);
  });
  FTransactionLost = false;
  try {
    BeginLocked();
  } catch (const EVQStompClientNotConnectedError&) {
    // The reconnection begins the next transaction.
    if (!Owner->HasFailover()) throw;
  }
  if (Commit && Lost)
    throw ETransactionRolledBackException(
        "The transaction was rolled back: the connection to the broker was lost while it was open. Nothing of it "
        "was committed; a new transaction has begun");
}

void TVQJMSSession::Close() {
  if (FClosed.exchange(true)) return;
  const auto Owner = FConnection.lock();
  try {
    if (Owner) TellBrokerOfClose(Owner->GetClient());
  } catch (...) {
    Leave(Owner.get());
    throw;
  }
  Leave(Owner.get());
}

// The open transaction ends without a new one; every consumer is unsubscribed.
void TVQJMSSession::TellBrokerOfClose(TVQJMSClient& Client) {
  if (!Client.IsConnected()) return;
  if (FTransactionOpen.exchange(false)) Client.AbortTrans(GetTransactionID(), "");
  for (const auto& Consumer : FConsumers->Snapshot())
    if (Consumer->MarkClosed()) Client.UnsubscribeID(Consumer->GetConsumerID().ConsumerID, "");
}

// What Close does whether or not the broker could be told.
void TVQJMSSession::Leave(TVQJMSConnection* Owner) {
  for (const auto& Consumer : FConsumers->Snapshot()) Detach(*Consumer, Owner);
  FStarted = false;
  if (!Owner) return;
  Owner->RemoveSession(*this);
  Owner->UpdateReceiving();
}

// Takes a consumer out of this session and of the router; no frame is sent.
void TVQJMSSession::Detach(TVQMessageConsumer& Consumer, TVQJMSConnection* Owner) {
  Consumer.MarkClosed();
  Consumer.StoreListener(nullptr);
  if (Owner) Owner->GetRouter().Remove(Consumer.GetSlot());
  FConsumers->RemoveIf([&](const auto& Listed) { return Listed.get() == &Consumer; });
}

void TVQJMSSession::CloseConsumer(TVQMessageConsumer& Consumer) {
  if (!Consumer.MarkClosed()) return;
  const auto Owner = Connection();
  Detach(Consumer, Owner.get());
  Owner->UpdateReceiving();
  if (Owner->GetClient().IsConnected()) Owner->GetClient().UnsubscribeID(Consumer.GetConsumerID().ConsumerID, "");
}

bool TVQJMSSession::AcknowledgesByClient() const {
  return FAcknowledgeMode == AckModeClient || FAcknowledgeMode == AckModeClientIndividual;
}

namespace {

// UTF-16 or UTF-8 alike, set once: an empty text first would cost a conversion of its own.
template <typename TText>
std::shared_ptr<ITextMessage> TextMessageOf(const TText& Text) {
  auto Message = std::make_shared<TVQJMSTextMessage>();
  Message->SetText(Text);
  return Message;
}

// What names a message in ACK and NACK; 1.0 needs only its identifier.
struct TAckFields {
  explicit TAckFields(const IMessage& Message, TStompVersion Version) : MessageID(Message.GetJMSMessageID()) {
    if (Version == TStompVersion::V1_0) return;
    Subscription = Message.GetProperties()->GetString("subscription");
    AckID = Message.GetProperties()->GetString("ack");
  }
  TStompAckRef Ref() const { return {MessageID, Subscription, AckID}; }

  std::string MessageID;
  std::string Subscription;
  std::string AckID;
};

}  // namespace

void TVQJMSSession::AcknowledgeMessage(const IMessage& Message) {
  if (!AcknowledgesByClient()) return;
  if (FClosed) throw EIllegalStateException("The session is closed");
  Settle(Message, true);
}

void TVQJMSSession::NackMessage(const IMessage& Message) {
  if (FClosed) throw EIllegalStateException("The session is closed");
  if (!AcknowledgesByClient())
    throw EIllegalStateException("Nack needs a session with client or individual acknowledgement");
  Settle(Message, false);
}

// An acknowledgement on a newer connection would settle some other message, or none.
void TVQJMSSession::CheckReceivedOnThisConnection(const IMessage& Message, const TVQJMSConnection& Owner) const {
  const auto* Received = dynamic_cast<const TVQJMSMessage*>(&Message);
  const TVQJMSClient& Client = Owner.GetClient();
  // Without failover a lost connection raises its loss, as every command does.
  const bool Lost = Owner.HasFailover() && Client.IsConnectionLost();
  if (Received == nullptr || Received->GetConnectionNumber() == 0 ||
      (Received->GetConnectionNumber() == Client.GetConnectionNumber() && !Lost))
    return;
  throw EIllegalStateException("Message " + Message.GetJMSMessageID() +
                               " came on a connection to the broker that was lost since; the broker delivers it "
                               "again, marked redelivered: settle that one");
}

void TVQJMSSession::Settle(const IMessage& Message, bool Taken) {
  const auto Owner = Connection();
  CheckReceivedOnThisConnection(Message, *Owner);
  Owner->AwaitLink();
  CheckReceivedOnThisConnection(Message, *Owner);
  TVQJMSClient& Client = Owner->GetClient();
  const TAckFields Fields(Message, Client.GetVersion());
  const std::string_view TransactionID = GetTransacted() ? std::string_view(GetTransactionID()) : "";
  Command(*Owner, [&](std::string_view Receipt) {
    Taken ? Client.Ack(Fields.Ref(), TransactionID, Receipt) : Client.Nack(Fields.Ref(), TransactionID, Receipt);
  });
}

TStompAckMode TVQJMSSession::SubscriptionAck() const {
  if (FAcknowledgeMode == AckModeClient) return TStompAckMode::Client;
  if (FAcknowledgeMode == AckModeClientIndividual) return TStompAckMode::ClientIndividual;
  return TStompAckMode::Auto;
}

std::shared_ptr<IMessageConsumer> TVQJMSSession::CreateConsumer(const std::shared_ptr<IDestination>& Destination) {
  CheckStarted();
  std::string Name = DestinationName(Destination);
  const auto Owner = Connection();
  Owner->AwaitLink();
  auto Consumer = std::make_shared<TVQMessageConsumer>(shared_from_this(), std::make_unique<TVQConsumerID>(), Destination);
  std::lock_guard Guard(FRestoreLock);
  // Listed first: the broker may answer the SUBSCRIBE before this call returns.
  FConsumers->Add(Consumer);
  Consumer->AttachSlot(Owner->GetRouter().Add(*Consumer, std::move(Name), AcknowledgesByClient()));
  try {
    Subscribe(*Owner, *Consumer);
  } catch (...) {
    Detach(*Consumer, Owner.get());
    throw;
  }
  return Consumer;
}

std::shared_ptr<IMessageProducer> TVQJMSSession::CreateProducer(const std::shared_ptr<IDestination>& Destination) {
  CheckStarted();
  return std::make_shared<TVQMessageProducer>(weak_from_this(), Destination);
}

std::shared_ptr<IQueue> TVQJMSSession::CreateQueue(const std::string& Name) {
  CheckStarted();
  return std::make_shared<TVQQueue>(Name);
}

std::shared_ptr<ITextMessage> TVQJMSSession::CreateTextMessage(const std::string& Utf8) {
  CheckStarted();
  return TextMessageOf(Utf8);
}

std::shared_ptr<ITopic> TVQJMSSession::CreateTopic(const std::string& Name) {
  CheckStarted();
  return std::make_shared<TVQTopic>(Name);
}

std::shared_ptr<IMessage> TVQJMSSession::CreateMessage() {
  CheckStarted();
  return std::make_shared<TVQJMSMessage>();
}

std::shared_ptr<IBytesMessage> TVQJMSSession::CreateBytesMessage() {
  CheckStarted();
  return std::make_shared<TVQJMSBytesMessage>();
}

std::shared_ptr<ITextMessage> TVQJMSSession::CreateTextMessage() {
  CheckStarted();
  return std::make_shared<TVQJMSTextMessage>();
}

std::shared_ptr<ITextMessage> TVQJMSSession::CreateTextMessage(const std::u16string& Text) {
  CheckStarted();
  return TextMessageOf(Text);
}

void TVQJMSSession::DispatchMessage(const std::shared_ptr<IMessage>& Message) {
  const std::string Subscription = Message->GetProperties()->GetString("subscription");
  for (const auto& Consumer : FConsumers->Snapshot()) {
    if (Consumer->GetConsumerID().ConsumerID != Subscription) continue;
    if (const auto Listener = Consumer->GetMessageListener()) return Listener->OnMessage(Message);
  }
  WarnUnmatchedMessage(Connection()->GetClient(), *Message);
}

}  // namespace vq
