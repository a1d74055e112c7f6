#pragma once

#include <cstdint>
#include <string>

#include <vqstomp/VQJMSInterfaces.h>

namespace vq {

// Base of queues and topics: holds their name, kept exactly as given, and a type code
// that they override with a fixed one.
class TVQDestination : public virtual IDestination {
public:
  TVQDestination() = default;

  uint8_t GetDestinationType() const override;
  void SetDestinationType(uint8_t Value) override;

protected:
  explicit TVQDestination(std::string Name);
  const std::string& GetName() const { return FName; }

private:
  uint8_t FDestinationType = 0;
  std::string FName;
};

}  // namespace vq
