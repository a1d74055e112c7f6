#include <vqstomp/VQConsumerID.h>

#include "support/VQGuid.h"

namespace vq {

TVQConsumerID::TVQConsumerID() : ConsumerID(NewGuidText()) {}

}  // namespace vq
