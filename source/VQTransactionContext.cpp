#include "VQTransactionContext.h"

#include "VQGuid.h"

namespace vq {

TVQTransactionContext::TVQTransactionContext() : TransactionID(NewGuidText()) {}

}  // namespace vq
