#pragma once

/// @file
/// A queue: each message goes to one consumer.

#include <cstdint>
#include <string>

#include <vqstomp/VQDestination.h>

namespace vq {

/// A queue of the broker, as ISession::CreateQueue makes it.
class TVQQueue : public TVQDestination, public IQueue {
public:
  /// The broker's full destination name: no prefix is added.
  explicit TVQQueue(std::string Name);

  /// Always 2, whatever SetDestinationType stored.
  uint8_t GetDestinationType() const override;
  std::string GetQueueName() const override;
};

}  // namespace vq
