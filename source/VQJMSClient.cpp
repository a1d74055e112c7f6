#include "VQJMSClient.h"

#include <chrono>

#include "VQAdapterRegistry.h"
#include "VQCommAdapter.h"
#include "VQJMSBytesMessage.h"
#include "VQJMSTextMessage.h"
#include "VQStompFrame.h"
#include "VQUnicode.h"

namespace vq {

namespace {

using TClock = std::chrono::steady_clock;

// Milliseconds left until Deadline, at least 1 while any time remains, 0 once it passed.
int32_t RemainingMilliseconds(TClock::time_point Deadline) {
  const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - TClock::now()).count();
  return Left > 0 ? static_cast<int32_t>(Left) : 0;
}

}  // namespace

TVQJMSClient::TVQJMSClient() {
  if (AdapterCount() == 0) return;
  FOwnedAdapter = CreateDefaultAdapter();
  SetCommAdapter(FOwnedAdapter.get());
}

// The adapter goes first: its read thread may still be delivering into this client.
TVQJMSClient::~TVQJMSClient() { FOwnedAdapter.reset(); }

std::shared_ptr<IMessage> TVQJMSClient::GetCurrentMessage() const {
  std::lock_guard Guard(FCurrentLock);
  return FCurrentMessage;
}

void TVQJMSClient::StompFrameAvailable(const std::shared_ptr<IStompFrame>& Frame) {
  Assert(Frame->GetCommand() == "MESSAGE", "StompFrameAvailable needs a MESSAGE frame");
  std::shared_ptr<IMessage> Message;
  if (!Frame->GetHeader("content-length").empty()) {
    Message = TVQJMSBytesMessage::CreateFromFrame(*Frame);
  } else {
    Message = TVQJMSTextMessage::CreateFromFrame(*Frame);
  }
  {
    std::lock_guard Guard(FCurrentLock);
    FCurrentMessage = Message;
    ++FMessagesMade;
  }
  if (FOnMessage) FOnMessage(*this, Message);
}

std::shared_ptr<IMessage> TVQJMSClient::Receive(int32_t Timeout) {
  IStompCommAdapter& Adapter = CommAdapter();
  const bool Unlimited = Timeout <= 0;
  const auto Deadline = TClock::now() + std::chrono::milliseconds(Unlimited ? 0 : Timeout);
  for (;;) {
    const int32_t Wait = Unlimited ? 0 : RemainingMilliseconds(Deadline);
    if (!Unlimited && Wait == 0) return nullptr;
    const uint64_t MadeBefore = FMessagesMade;
    if (!ReceiveOneFrame(Adapter, Wait)) return nullptr;
    if (FMessagesMade != MadeBefore) return GetCurrentMessage();
  }
}

// False when the wait ended without a frame.
bool TVQJMSClient::ReceiveOneFrame(IStompCommAdapter& Adapter, int32_t Timeout) {
  try {
    return Adapter.ReceiveFrame(Timeout);
  } catch (const EVQCommError&) {
    throw;
  } catch (const Exception& Error) {
    GetLogger()->Error(Utf8ToUtf16(std::string(GetClassName()) + ": " + Error.what()));
    return true;
  }
}

void TVQJMSClient::SendMessage(const std::shared_ptr<IMessage>& Message, std::string_view Destination,
                               std::string_view Receipt) {
  const bool IsText = dynamic_cast<const ITextMessage*>(Message.get()) != nullptr;
  if (!IsText && dynamic_cast<const IBytesMessage*>(Message.get()) == nullptr) return;
  TVQStompFrame Scratch;
  Message->WriteToFrame(Scratch);
  Send(Destination, Scratch.GetBody(), Scratch.GetHeaders(), IsText, Receipt);
}

}  // namespace vq
