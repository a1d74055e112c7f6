#pragma once

/// @file
/// The identifier that ties a consumer to its subscription.

#include <string>

namespace vq {

/// The subscription identifier of one consumer: sent as the "id" of its SUBSCRIBE and
/// matched against the "subscription" header of every MESSAGE the broker delivers.
class TVQConsumerID {
public:
  /// Draws a new globally unique identifier, fixed for the object's life.
  TVQConsumerID();

  /// The identifier: a random GUID in braces, such as "{0F8FAD5B-D9CB-469F-A165-70867728950E}".
  const std::string ConsumerID;
};

}  // namespace vq
