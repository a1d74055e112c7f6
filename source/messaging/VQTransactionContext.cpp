#include "messaging/VQTransactionContext.h"

#include "support/VQGuid.h"

namespace vq {

TVQTransactionContext::TVQTransactionContext() : TransactionID(NewGuidText()) {}

}  // namespace vq
