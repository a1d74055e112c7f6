#include <vqstomp/VQJMSMessage.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <typeinfo>

#include <vqstomp/VQStompFrame.h>

#include "support/VQTextUtils.h"

namespace vq {

namespace {

constexpr uint8_t DefaultPriority = 4;
constexpr uint8_t MaxPriority = 9;
constexpr int64_t MillisecondsPerSecond = 1000;
constexpr double SecondsPerDay = 86400.0;
constexpr std::string_view TransactionName = "transaction";

// Written by the protocol or the broker, or from an attribute of the message, which wins.
// The transaction is written from its property, ahead of the others.
constexpr std::string_view WithheldNames[] = {
    "destination", "content-length", "message-id",     "subscription", "receipt",    "ack",      "id",
    "timestamp",   "redelivered",    "correlation-id", "expires",      "persistent", "priority", "reply-to",
    TransactionName};

// Whole seconds only: the milliseconds are dropped, truncating toward zero.
TDateTime DateTimeFromUnixMilliseconds(int64_t Milliseconds) {
  return static_cast<double>(Milliseconds / MillisecondsPerSecond) / SecondsPerDay + UnixEpochDate;
}

int64_t UnixMillisecondsFromDateTime(TDateTime Value) {
  return std::llround((Value - UnixEpochDate) * SecondsPerDay * MillisecondsPerSecond);
}

// A broker may send any number; the message is kept rather than refused.
uint8_t PriorityFromHeader(std::string_view Value) {
  return static_cast<uint8_t>(std::clamp<int32_t>(StrToIntDef(Value, DefaultPriority), 0, MaxPriority));
}

bool IsWithheld(std::string_view Name) {
  return std::any_of(std::begin(WithheldNames), std::end(WithheldNames),
                     [Name](std::string_view Withheld) { return SameText(Name, Withheld); });
}

void CheckSendable(const TStompHeaderItem& Property) {
  if (const char* Fault = HeaderFault(Property.Name, Property.Value))
    throw EMessageFormatException("Property " + QuotedVisibly(Property.Name) + " cannot be sent: " + Fault);
}

}  // namespace

// A message is built for every frame received: the headers are walked once, and the
// properties take them in one piece.
TVQJMSMessage::TVQJMSMessage(const IStompFrame& Frame) : TVQJMSMessage(TStompHeaders(Frame.GetHeaders())) {}

TVQJMSMessage::TVQJMSMessage(TStompHeaders&& Headers)
    : FTimestamp(DateTimeFromUnixMilliseconds(0)),
      FTimestampMillis(0),
      FProperties(std::move(Headers)) {
  for (const auto& Header : FProperties.GetEntries()) ReadHeader(Header);
}

std::shared_ptr<IPrimitiveMap> TVQJMSMessage::GetProperties() const {
  return std::shared_ptr<IPrimitiveMap>(weak_from_this().lock(), &FProperties);
}

// Exact type first: a cast through the frame's interface would cost more per message.
TStompHeaders TVQJMSMessage::HeadersOf(IStompFrame& Frame) {
  if (typeid(Frame) == typeid(TVQStompFrame)) return static_cast<TVQStompFrame&>(Frame).TakeHeaders();
  return Frame.GetHeaders();
}

std::string TVQJMSMessage::BodyOf(IStompFrame& Frame) {
  if (typeid(Frame) == typeid(TVQStompFrame)) return static_cast<TVQStompFrame&>(Frame).TakeBody();
  return Frame.GetBody();
}

void TVQJMSMessage::ReadHeader(const TStompHeaderItem& Header) {
  const auto& [Name, Value] = Header;
  if (SameText(Name, "message-id")) FMessageID = Value;
  else if (SameText(Name, "correlation-id")) FCorrelationID = Value;
  else if (SameText(Name, "expires")) FExpiration = StrToIntDef(Value, 0);
  else if (SameText(Name, "persistent")) FPersistent = Value == "true";
  else if (SameText(Name, "priority")) FPriority = PriorityFromHeader(Value);
  else if (SameText(Name, "reply-to")) FReplyTo = Value;
  else if (SameText(Name, "timestamp")) SetJMSTimestampMillis(StrToInt64Def(Value, 0));
  else if (SameText(Name, "redelivered")) FRedelivered = Value == "true";
}

void TVQJMSMessage::SetJMSTimestamp(TDateTime Value) {
  FTimestamp = Value;
  FTimestampMillis = UnixMillisecondsFromDateTime(Value);
}

void TVQJMSMessage::SetJMSTimestampMillis(int64_t Value) {
  FTimestampMillis = Value;
  FTimestamp = DateTimeFromUnixMilliseconds(Value);
}

void TVQJMSMessage::SetJMSPriority(uint8_t Value) {
  if (Value > MaxPriority) throw Exception("JMS_MAX_PRIORITY");
  FPriority = Value;
}

void TVQJMSMessage::WriteToFrame(IStompFrame& Frame) const {
  const TStompHeaders& Properties = FProperties.GetEntries();
  const auto Transaction = FindHeader(Properties, TransactionName);
  // Every header is checked before one is written, so that a refused message writes none.
  if (Transaction != Properties.end()) CheckSendable(*Transaction);
  for (const auto& Property : Properties)
    if (!IsWithheld(Property.Name)) CheckSendable(Property);
  WriteAttributes(Frame);
  if (Transaction != Properties.end()) Frame.SetHeader(TransactionName, Transaction->Value);
  for (const auto& Property : Properties)
    if (!IsWithheld(Property.Name)) Frame.SetHeader(Property.Name, Property.Value);
}

void TVQJMSMessage::WriteAttributes(IStompFrame& Frame) const {
  if (!FCorrelationID.empty()) Frame.SetHeader("correlation-id", FCorrelationID);
  if (FExpiration != 0) Frame.SetHeader("expires", std::to_string(FExpiration));
  if (FPersistent) Frame.SetHeader("persistent", "true");
  if (FPriority != DefaultPriority) Frame.SetHeader("priority", std::to_string(FPriority));
  if (!FReplyTo.empty()) Frame.SetHeader("reply-to", FReplyTo);
}

void TVQJMSMessage::Acknowledge() { Acknowledger()->AcknowledgeMessage(*this); }

void TVQJMSMessage::Nack() { Acknowledger()->NackMessage(*this); }

std::shared_ptr<IMessageAcknowledger> TVQJMSMessage::Acknowledger() const {
  auto Acknowledger = FAcknowledger.lock();
  // A message made by the application has no identifier.
  if (!Acknowledger)
    throw EIllegalStateException(FMessageID.empty() ? "Only a received message can be acknowledged"
                                                    : "The session of this message has been closed or released");
  return Acknowledger;
}

}  // namespace vq
