#include "VQJMSMessage.h"

#include "VQTextUtils.h"

namespace vq {

namespace {

constexpr uint8_t DefaultPriority = 4;
constexpr int64_t MillisecondsPerSecond = 1000;
constexpr double SecondsPerDay = 86400.0;

// Whole seconds only: the milliseconds are dropped, truncating toward zero.
TDateTime DateTimeFromUnixMilliseconds(int64_t Milliseconds) {
  return static_cast<double>(Milliseconds / MillisecondsPerSecond) / SecondsPerDay + UnixEpochDate;
}

}  // namespace

// Members are initialised straight from the header texts: a message is built for every
// frame received, so the setters' extra copies are avoided.
TVQJMSMessage::TVQJMSMessage(const IStompFrame& Frame)
    : FMessageID(Frame.GetHeader("message-id")),
      FCorrelationID(Frame.GetHeader("correlation-id")),
      FExpiration(StrToIntDef(Frame.GetHeader("expires"), 0)),
      FPersistent(Frame.GetHeader("persistent") == "true"),
      FReplyTo(Frame.GetHeader("reply-to")),
      FTimestamp(DateTimeFromUnixMilliseconds(StrToInt64Def(Frame.GetHeader("timestamp"), 0))) {
  SetJMSPriority(static_cast<uint8_t>(StrToIntDef(Frame.GetHeader("priority"), DefaultPriority)));
  for (const auto& Item : Frame.GetHeaders()) FProperties->SetValue(Item.Name, Item.Value);
}

void TVQJMSMessage::SetJMSPriority(uint8_t Value) {
  if (Value >= 10) throw Exception("JMS_MAX_PRIORITY");
  FPriority = Value;
}

void TVQJMSMessage::WriteToFrame(IStompFrame& Frame) const {
  if (!FCorrelationID.empty()) Frame.SetHeader("correlation-id", FCorrelationID);
  if (FExpiration != 0) Frame.SetHeader("expires", std::to_string(FExpiration));
  if (FPersistent) Frame.SetHeader("persistent", "true");
  if (FPriority != DefaultPriority) Frame.SetHeader("priority", std::to_string(FPriority));
  if (!FReplyTo.empty()) Frame.SetHeader("reply-to", FReplyTo);
  const std::string Transaction = FProperties->GetString("transaction");
  if (!Transaction.empty()) Frame.SetHeader("transaction", Transaction);
}

}  // namespace vq
