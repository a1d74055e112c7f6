#pragma once

#include <string>

namespace vq {

class TVQTransactionContext {
public:
  // Draws a new globally unique identifier, fixed for the object's life.
  TVQTransactionContext();

  const std::string TransactionID;
};

}  // namespace vq
