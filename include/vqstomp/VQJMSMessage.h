#pragma once

/// @file
/// The library's message: attributes, properties, and how they become a frame's headers.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <vqstomp/VQJMSInterfaces.h>

namespace vq {

/// Day number of 1970-01-01 in TDateTime.
inline constexpr TDateTime UnixEpochDate = 25569.0;

/// What a received message acknowledges itself through: the session of its consumer.
class IMessageAcknowledger {
public:
  virtual ~IMessageAcknowledger() = default;
  /// Acknowledges Message to the broker as the session's mode says.
  virtual void AcknowledgeMessage(const IMessage& Message) = 0;
  /// Hands Message back to the broker with NACK, where the session's mode allows it.
  virtual void NackMessage(const IMessage& Message) = 0;
};

/// A message without a body, and the base of text and bytes messages.
class TVQJMSMessage : public virtual IMessage, public std::enable_shared_from_this<TVQJMSMessage> {
public:
  /// A message to send: priority 4, not persistent, no properties.
  TVQJMSMessage() = default;
  /// Reads the attributes of a received MESSAGE frame and copies every header into the
  /// properties. A priority header outside 0..9 is taken as the nearest of the two.
  explicit TVQJMSMessage(const IStompFrame& Frame);
  /// The same with the headers of a frame, taken.
  explicit TVQJMSMessage(TStompHeaders&& Headers);
  /// Not copyable: a copy would share the property map with its original.
  TVQJMSMessage(const TVQJMSMessage&) = delete;
  TVQJMSMessage& operator=(const TVQJMSMessage&) = delete;

  std::string GetJMSMessageID() const override { return FMessageID; }
  std::string GetJMSReserved() const override { return FReserved; }
  void SetJMSReplyTo(const std::string& Value) override { FReplyTo = Value; }
  std::string GetJMSReplyTo() const override { return FReplyTo; }
  void SetJMSPriority(uint8_t Value) override;
  uint8_t GetJMSPriority() const override { return FPriority; }
  void SetJMSPersistent(bool Value) override { FPersistent = Value; }
  bool GetJMSPersistent() const override { return FPersistent; }
  void SetJMSExpiration(int32_t Value) override { FExpiration = Value; }
  int32_t GetJMSExpiration() const override { return FExpiration; }
  void SetJMSCorrelationID(const std::string& Value) override { FCorrelationID = Value; }
  std::string GetJMSCorrelationID() const override { return FCorrelationID; }
  std::string GetJMSLabel() const override { return FLabel; }
  void SetJMSLabel(const std::string& Value) override { FLabel = Value; }
  /// The map is part of the message: the pointer shares the ownership of the message, or,
  /// for a message that no std::shared_ptr holds, is valid while the message lives.
  std::shared_ptr<IPrimitiveMap> GetProperties() const override;
  /// A property's value without a copy or a reference count: read for every message
  /// received. Valid while the property stays unchanged.
  std::string_view PropertyText(std::string_view Name) const { return FProperties.ValueOf(Name); }
  void SetJMSTimestamp(TDateTime Value) override;
  TDateTime GetJMSTimestamp() const override { return FTimestamp; }
  void SetJMSTimestampMillis(int64_t Value) override;
  int64_t GetJMSTimestampMillis() const override { return FTimestampMillis; }
  void SetJMSRedelivered(bool Value) override { FRedelivered = Value; }
  bool GetJMSRedelivered() const override { return FRedelivered; }
  /// Headers only: the changed attributes, the transaction, then every property that is
  /// not the protocol's or the broker's; the subclasses add their body. A refused
  /// message (EMessageFormatException) writes no header.
  void WriteToFrame(IStompFrame& Frame) const override;
  /// The body as WriteToFrame of the subclass writes it, where the message keeps it; none
  /// here.
  virtual std::string_view WireBody() const { return {}; }
  void Acknowledge() override;
  void Nack() override;
  /// Which of the client's connections brought the message (see
  /// TVQStompCustomClient::GetConnectionNumber); 0 for one made here.
  uint64_t GetConnectionNumber() const { return FConnectionNumber; }
  /// Set as the message is made from its frame.
  void SetConnectionNumber(uint64_t Value) { FConnectionNumber = Value; }
  /// Set when the message is handed to its consumer; the session is not kept alive.
  void SetAcknowledger(std::weak_ptr<IMessageAcknowledger> Acknowledger) { FAcknowledger = std::move(Acknowledger); }

protected:
  /// The headers of a received frame: taken from one of the library's own frames, which
  /// is left without them; copied from any other.
  static TStompHeaders HeadersOf(IStompFrame& Frame);
  /// The body of a received frame, taken or copied the same way: a large one is moved.
  static std::string BodyOf(IStompFrame& Frame);

private:
  void ReadHeader(const TStompHeaderItem& Header);
  void WriteAttributes(IStompFrame& Frame) const;
  std::shared_ptr<IMessageAcknowledger> Acknowledger() const;

  std::string FMessageID;
  std::string FCorrelationID;
  int32_t FExpiration = 0;
  bool FPersistent = false;
  uint8_t FPriority = 4;
  std::string FReplyTo;
  std::string FReserved;
  TDateTime FTimestamp = 0.0;
  // The same instant as FTimestamp: day 0 is 1899-12-30.
  int64_t FTimestampMillis = -static_cast<int64_t>(UnixEpochDate) * 86400000;
  bool FRedelivered = false;
  // Its entries are walked in place for every message sent. Within the message, as one
  // allocation less for every message made; GetProperties hands it out for change.
  mutable TPrimitiveMap FProperties;
  std::string FLabel;
  std::weak_ptr<IMessageAcknowledger> FAcknowledger;
  uint64_t FConnectionNumber = 0;
};

}  // namespace vq
