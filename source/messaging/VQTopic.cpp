#include <vqstomp/VQTopic.h>

#include <utility>

namespace vq {

TVQTopic::TVQTopic(std::string Name) : TVQDestination(std::move(Name)) {}

uint8_t TVQTopic::GetDestinationType() const { return 0; }

std::string TVQTopic::GetTopicName() const { return GetName(); }

}  // namespace vq
