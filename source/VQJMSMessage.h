#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "VQJMSInterfaces.h"

namespace vq {

// Day number of 1970-01-01 in TDateTime.
inline constexpr TDateTime UnixEpochDate = 25569.0;

class TVQJMSMessage : public virtual IMessage {
public:
  TVQJMSMessage() = default;
  // Reads the attributes of a received MESSAGE frame and copies every header into the
  // properties. Raises "JMS_MAX_PRIORITY" for a priority header of 10 or more.
  explicit TVQJMSMessage(const IStompFrame& Frame);
  // A copy would share the property map with its original.
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
  std::shared_ptr<IPrimitiveMap> GetProperties() const override { return FProperties; }
  void SetJMSTimestamp(TDateTime Value) override { FTimestamp = Value; }
  TDateTime GetJMSTimestamp() const override { return FTimestamp; }
  // Headers only; the subclasses add their body.
  void WriteToFrame(IStompFrame& Frame) const override;

private:
  void ReadHeader(const TStompHeaderItem& Header);

  std::string FMessageID;
  std::string FCorrelationID;
  int32_t FExpiration = 0;
  bool FPersistent = false;
  uint8_t FPriority = 4;
  std::string FReplyTo;
  std::string FReserved;
  TDateTime FTimestamp = 0.0;
  std::shared_ptr<IPrimitiveMap> FProperties = std::make_shared<TPrimitiveMap>();
  std::string FLabel;
};

}  // namespace vq
