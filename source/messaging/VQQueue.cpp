#include <vqstomp/VQQueue.h>

#include <utility>

namespace vq {

TVQQueue::TVQQueue(std::string Name) : TVQDestination(std::move(Name)) {}

uint8_t TVQQueue::GetDestinationType() const { return 2; }

std::string TVQQueue::GetQueueName() const { return GetName(); }

}  // namespace vq
