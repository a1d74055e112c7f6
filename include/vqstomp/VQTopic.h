#pragma once

#include <cstdint>
#include <string>

#include <vqstomp/VQDestination.h>

namespace vq {

class TVQTopic : public TVQDestination, public ITopic {
public:
  // The broker's full destination name: no prefix is added.
  explicit TVQTopic(std::string Name);

  uint8_t GetDestinationType() const override;
  std::string GetTopicName() const override;
};

}  // namespace vq
