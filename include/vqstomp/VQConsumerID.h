#pragma once

#include <string>

namespace vq {

class TVQConsumerID {
public:
  // Draws a new globally unique identifier, fixed for the object's life.
  TVQConsumerID();

  const std::string ConsumerID;
};

}  // namespace vq
