#include <vqstomp/VQDestination.h>

#include <utility>

namespace vq {

TVQDestination::TVQDestination(std::string Name) : FName(std::move(Name)) {}

uint8_t TVQDestination::GetDestinationType() const { return FDestinationType; }

void TVQDestination::SetDestinationType(uint8_t Value) { FDestinationType = Value; }

}  // namespace vq
