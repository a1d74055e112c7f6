#pragma once

/// @file
/// A topic: each message goes to every subscriber.

#include <cstdint>
#include <string>

#include <vqstomp/VQDestination.h>

namespace vq {

/// A topic of the broker, as ISession::CreateTopic makes it.
class TVQTopic : public TVQDestination, public ITopic {
public:
  /// The broker's full destination name: no prefix is added.
  explicit TVQTopic(std::string Name);

  /// Always 0, whatever SetDestinationType stored.
  uint8_t GetDestinationType() const override;
  std::string GetTopicName() const override;
};

}  // namespace vq
