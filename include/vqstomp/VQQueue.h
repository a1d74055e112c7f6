#pragma once

#include <cstdint>
#include <string>

#include <vqstomp/VQDestination.h>

namespace vq {

class TVQQueue : public TVQDestination, public IQueue {
public:
  // The broker's full destination name: no prefix is added.
  explicit TVQQueue(std::string Name);

  uint8_t GetDestinationType() const override;
  std::string GetQueueName() const override;
};

}  // namespace vq
