#include "VQJMSConnection.h"

#include "VQJMSBytesMessage.h"
#include "VQJMSTextMessage.h"
#include "VQMessageConsumer.h"
#include "VQMessageProducer.h"
#include "VQQueue.h"
#include "VQTopic.h"
#include "VQTransactionContext.h"
#include "VQUnicode.h"

namespace vq {

// Connection

std::shared_ptr<TVQJMSConnection> TVQJMSConnection::CreateConnection(const std::string& Username,
                                                                     const std::string& Password,
                                                                     const std::string& Host, int32_t Port) {
  auto Client = std::make_unique<TVQJMSClient>();
  Client->SetUsername(Username);
  Client->SetPassword(Password);
  Client->SetHost(Host);
  Client->SetPort(Port);
  return std::make_shared<TVQJMSConnection>(std::move(Client));
}

TVQJMSConnection::TVQJMSConnection(std::unique_ptr<TVQJMSClient> Client) : FClient(std::move(Client)) {
  FClient->SetOnMessage([this](TVQJMSClient&, const std::shared_ptr<IMessage>& Message) { HandleMessage(Message); });
}

// The client goes first: its read thread may still be delivering to the sessions.
TVQJMSConnection::~TVQJMSConnection() { FClient.reset(); }

std::string TVQJMSConnection::GetClientID() const {
  std::lock_guard Guard(FLock);
  return FClientID;
}

void TVQJMSConnection::SetClientID(const std::string& Value) {
  std::lock_guard Guard(FLock);
  FClientID = Value;
}

void TVQJMSConnection::Start() {
  if (IStompCommAdapter* Adapter = FClient->GetCommAdapter(); Adapter == nullptr || !Adapter->Connected())
    FClient->Connect();
  if (FClosed) throw Exception("Connection is closed");
  for (const auto& Session : FSessions.Snapshot()) Session->Start();
  FStarted = true;
}

void TVQJMSConnection::Stop() {
  if (!FStarted) return;
  for (const auto& Session : FSessions.Snapshot()) Session->Stop();
  FStarted = false;
}

void TVQJMSConnection::Close() {
  if (FClosed) return;
  Stop();
  FClient->Disconnect();
  FClosed = true;
}

std::shared_ptr<ISession> TVQJMSConnection::CreateSession(bool, uint8_t AcknowledgeMode) {
  auto Session = std::make_shared<TVQJMSSession>(weak_from_this(), AcknowledgeMode);
  if (FStarted) Session->Start();
  FSessions.Add(Session);
  return Session;
}

// Every message goes to the one listener whose subscription it carries, in whichever
// session; a message that no listener takes is reported, never fatal.
void TVQJMSConnection::HandleMessage(const std::shared_ptr<IMessage>& Message) {
  bool AnyListener = false;
  for (const auto& Session : FSessions.Snapshot()) {
    const auto Result = Session->TryDispatch(Message);
    if (Result.Delivered) return;
    AnyListener = AnyListener || Result.AnyListener;
  }
  if (AnyListener) WarnUnmatchedMessage(*FClient, *Message);
}

std::optional<std::string> FindDestinationName(const IDestination* Destination) {
  if (const auto* Queue = dynamic_cast<const IQueue*>(Destination)) return Queue->GetQueueName();
  if (const auto* Topic = dynamic_cast<const ITopic*>(Destination)) return Topic->GetTopicName();
  return std::nullopt;
}

std::string DestinationName(const std::shared_ptr<IDestination>& Destination, const char* Refusal) {
  auto Name = FindDestinationName(Destination.get());
  if (!Name) throw Exception(Refusal);
  return std::move(*Name);
}

void WarnUnmatchedMessage(TVQJMSClient& Client, const IMessage& Message) {
  Client.GetLogger()->Warn(u"Found no Matching Consumer for message " + Utf8ToUtf16(Message.GetJMSMessageID()));
}

// Session

TVQJMSSession::TVQJMSSession(std::weak_ptr<TVQJMSConnection> Connection, uint8_t AcknowledgeMode)
    : FAcknowledgeMode(AcknowledgeMode),
      FConnection(std::move(Connection)),
      FTransactionContext(std::make_unique<TVQTransactionContext>()) {}

TVQJMSSession::~TVQJMSSession() = default;

std::shared_ptr<TVQJMSConnection> TVQJMSSession::Connection() const {
  auto Connection = FConnection.lock();
  if (!Connection) throw EIllegalStateException("The connection of this session has been released");
  return Connection;
}

const std::string& TVQJMSSession::GetTransactionID() const { return FTransactionContext->TransactionID; }

void TVQJMSSession::CheckStarted() const {
  if (!FStarted) throw EIllegalStateException("EIllegalStateException");
}

void TVQJMSSession::Start() {
  FStarted = true;
  SetReceiving(true);
  BeginIfTransacted();
}

void TVQJMSSession::Stop() {
  FStarted = false;
  SetReceiving(false);
}

// Background reading runs while a started session has listener consumers.
void TVQJMSSession::SetReceiving(bool Receiving) {
  for (const auto& Consumer : FConsumers.Snapshot()) {
    if (!Consumer->GetMessageListener()) continue;
    IStompCommAdapter& Adapter = *Connection()->GetClient().GetCommAdapter();
    Receiving ? Adapter.StartReceiving() : Adapter.StopReceiving();
  }
}

void TVQJMSSession::BeginIfTransacted() {
  CheckStarted();
  if (GetTransacted()) Connection()->GetClient().BeginTrans(GetTransactionID(), "");
}

void TVQJMSSession::Commit() { EndTransaction(true); }

void TVQJMSSession::Rollback() { EndTransaction(false); }

void TVQJMSSession::EndTransaction(bool Commit) {
  CheckStarted();
  Assert(GetTransacted(), Commit ? "Commit needs a transacted session" : "Rollback needs a transacted session");
  auto Client = Connection();
  Commit ? Client->GetClient().CommitTrans(GetTransactionID(), "")
         : Client->GetClient().AbortTrans(GetTransactionID(), "");
  BeginIfTransacted();
}

void TVQJMSSession::Close() {
  if (!FStarted) return;
  if (GetTransacted()) Rollback();
  CloseConsumers();
  Stop();
}

void TVQJMSSession::CloseConsumers() {
  auto Owner = Connection();
  for (const auto& Consumer : FConsumers.Snapshot()) {
    Consumer->SetMessageListener(nullptr);
    Owner->GetClient().UnsubscribeID(Consumer->GetConsumerID().ConsumerID, "");
  }
  Owner->GetClient().GetCommAdapter()->StopReceiving();
}

std::shared_ptr<IMessageConsumer> TVQJMSSession::CreateConsumer(const std::shared_ptr<IDestination>& Destination) {
  CheckStarted();
  // The name comes first so that a consumer is listed only once it is subscribed.
  const std::string Name = DestinationName(Destination, "GetDestinationName");
  auto Consumer = std::make_shared<TVQMessageConsumer>(weak_from_this(), std::make_unique<TVQConsumerID>(), Destination);
  FConsumers.Add(Consumer);
  Connection()->GetClient().Subscribe(Name, FAcknowledgeMode == AckModeClient, Consumer->GetConsumerID().ConsumerID,
                                      "");
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

std::shared_ptr<ITextMessage> TVQJMSSession::CreateTextMessage() { return CreateTextMessage(u""); }

std::shared_ptr<ITextMessage> TVQJMSSession::CreateTextMessage(const std::u16string& Text) {
  CheckStarted();
  auto Message = std::make_shared<TVQJMSTextMessage>();
  Message->SetText(Text);
  return Message;
}

// A failing listener must not stop later deliveries; in client acknowledgement mode its
// message stays unacknowledged, so the broker delivers it again on the next connection.
void TVQJMSSession::Deliver(IMessageListener& Listener, const std::shared_ptr<IMessage>& Message) {
  try {
    Listener.OnMessage(Message);
  } catch (const std::exception& Error) {
    Connection()->GetClient().GetLogger()->Error(u"Message listener failed: " + Utf8ToUtf16(Error.what()));
  }
}

void TVQJMSSession::DispatchMessage(const std::shared_ptr<IMessage>& Message) {
  const auto Result = TryDispatch(Message);
  if (Result.AnyListener && !Result.Delivered) WarnUnmatchedMessage(Connection()->GetClient(), *Message);
}

TVQJMSSession::TDispatchResult TVQJMSSession::TryDispatch(const std::shared_ptr<IMessage>& Message) {
  TDispatchResult Result;
  // Read once a listener needs it: polling consumers never do.
  std::optional<std::string> Subscription;
  for (const auto& Consumer : FConsumers.Snapshot()) {
    auto Listener = Consumer->GetMessageListener();
    if (!Listener) continue;
    Result.AnyListener = true;
    if (!Subscription) Subscription = Message->GetProperties()->GetString("subscription");
    if (Consumer->GetConsumerID().ConsumerID != *Subscription) continue;
    Deliver(*Listener, Message);
    Result.Delivered = true;
    break;
  }
  return Result;
}

}  // namespace vq
