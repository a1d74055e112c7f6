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

// A message is built for every frame received: the headers are walked once, and the
// properties take them in one piece.
TVQJMSMessage::TVQJMSMessage(const IStompFrame& Frame)
    : FTimestamp(DateTimeFromUnixMilliseconds(0)), FProperties(std::make_shared<TPrimitiveMap>(Frame.GetHeaders())) {
  for (const auto& Header : Frame.GetHeaders()) ReadHeader(Header);
}

void TVQJMSMessage::ReadHeader(const TStompHeaderItem& Header) {
  const auto& [Name, Value] = Header;
  if (SameText(Name, "message-id")) FMessageID = Value;
  else if (SameText(Name, "correlation-id")) FCorrelationID = Value;
  else if (SameText(Name, "expires")) FExpiration = StrToIntDef(Value, 0);
  else if (SameText(Name, "persistent")) FPersistent = Value == "true";
  else if (SameText(Name, "priority")) SetJMSPriority(static_cast<uint8_t>(StrToIntDef(Value, DefaultPriority)));
  else if (SameText(Name, "reply-to")) FReplyTo = Value;
  else if (SameText(Name, "timestamp")) FTimestamp = DateTimeFromUnixMilliseconds(StrToInt64Def(Value, 0));
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
