#pragma once

/// @file
/// The base class of queues and topics.

#include <cstdint>
#include <string>

#include <vqstomp/VQJMSInterfaces.h>

namespace vq {

/// Base of queues and topics: holds their name, kept exactly as given, and a type code
/// that they override with a fixed one.
class TVQDestination : public virtual IDestination {
public:
  /// A destination without a name and with type code 0.
  TVQDestination() = default;

  uint8_t GetDestinationType() const override;
  void SetDestinationType(uint8_t Value) override;

protected:
  /// A destination of the broker's full name Name.
  explicit TVQDestination(std::string Name);
  /// The name as given, which SUBSCRIBE and SEND carry as "destination".
  const std::string& GetName() const { return FName; }

private:
  uint8_t FDestinationType = 0;
  std::string FName;
};

}  // namespace vq
