#include "VQConsumerID.h"

#include "VQGuid.h"

namespace vq {

TVQConsumerID::TVQConsumerID() : ConsumerID(NewGuidText()) {}

}  // namespace vq
