#include <vqstomp/VQJMSClient.h>

#include <typeinfo>

#include <vqstomp/VQJMSBytesMessage.h>
#include <vqstomp/VQJMSTextMessage.h>
#include <vqstomp/VQStompFrame.h>

#include "support/VQDeadline.h"
#include "support/VQUnicode.h"
#include "transport/VQAdapterRegistry.h"
#include "transport/VQCommAdapter.h"

namespace vq {

namespace {

// The library's own classes are recognised by their exact type first: a cast through
// the messages' virtual base costs several times more, for every message sent.
template <typename TInterface, typename TOwnClass>
bool Implements(const IMessage& Message) {
  return typeid(Message) == typeid(TOwnClass) || dynamic_cast<const TInterface*>(&Message) != nullptr;
}

// The message itself when it is exactly one of the library's text or bytes messages, whose
// WriteToFrame nobody overrode; nullptr for any other. The cast to void* finds the whole
// object without the search a cast to a class would make.
const TVQJMSMessage* OwnMessage(const IMessage& Message) {
  const std::type_info& Type = typeid(Message);
  const void* Whole = dynamic_cast<const void*>(&Message);
  if (Type == typeid(TVQJMSTextMessage)) return static_cast<const TVQJMSTextMessage*>(Whole);
  if (Type == typeid(TVQJMSBytesMessage)) return static_cast<const TVQJMSBytesMessage*>(Whole);
  return nullptr;
}

}  // namespace

TVQJMSClient::TVQJMSClient() {
  if (AdapterCount() == 0) return;
  FOwnedAdapter = CreateDefaultAdapter();
  SetCommAdapter(FOwnedAdapter.get());
}

void TVQJMSClient::UseTLS(const TVQTLSOptions& Options) {
  auto Adapter = CreateTLSAdapter();
  dynamic_cast<ITLSCommAdapter&>(*Adapter).SetTLSOptions(Options);
  SetCommAdapter(Adapter.get());
  FOwnedAdapter = std::move(Adapter);
}

// Heart-beats and then the adapter go first: their threads use the adapter, and its
// read thread may still be delivering into this client.
TVQJMSClient::~TVQJMSClient() {
  StopHeartBeat();
  FOwnedAdapter.reset();
}

std::shared_ptr<IMessage> TVQJMSClient::GetCurrentMessage() const {
  std::lock_guard Guard(FCurrentLock);
  return FCurrentMessage;
}

void TVQJMSClient::StompFrameAvailable(const std::shared_ptr<IStompFrame>& Frame) {
  Assert(Frame->GetCommand() == "MESSAGE", "StompFrameAvailable needs a MESSAGE frame");
  std::shared_ptr<TVQJMSMessage> Message;
  const TStompHeaders& Headers = Frame->GetHeaders();
  if (FindHeader(Headers, "content-length") != Headers.end()) {
    Message = TVQJMSBytesMessage::FromFrame(*Frame);
  } else {
    Message = TVQJMSTextMessage::FromFrame(*Frame);
  }
  Message->SetConnectionNumber(GetConnectionNumber());
  {
    std::lock_guard Guard(FCurrentLock);
    FCurrentMessage = Message;
    ++FMessagesMade;
  }
  if (FOnMessage) FOnMessage(*this, Message);
}

std::shared_ptr<IMessage> TVQJMSClient::Receive(int32_t Timeout) {
  const TDeadline Deadline(Timeout);
  for (;;) {
    if (Deadline.Expired()) return nullptr;
    const uint64_t MadeBefore = FMessagesMade;
    if (!ReceiveFrame(Deadline.Wait())) return nullptr;
    if (FMessagesMade != MadeBefore) return GetCurrentMessage();
  }
}

void TVQJMSClient::SendMessage(const std::shared_ptr<IMessage>& Message, std::string_view Destination,
                               std::string_view Receipt) {
  const bool IsText = Implements<ITextMessage, TVQJMSTextMessage>(*Message);
  if (!IsText && !Implements<IBytesMessage, TVQJMSBytesMessage>(*Message)) return;
  TVQStompFrame Scratch;
  // The library's own messages are sent from where they keep their body, without a copy.
  if (const TVQJMSMessage* Own = OwnMessage(*Message)) {
    Own->TVQJMSMessage::WriteToFrame(Scratch);
    return Send(Destination, Own->WireBody(), Scratch.GetHeaders(), IsText, Receipt);
  }
  Message->WriteToFrame(Scratch);
  Send(Destination, Scratch.GetBody(), Scratch.GetHeaders(), IsText, Receipt);
}

}  // namespace vq
