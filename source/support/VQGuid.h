#pragma once

#include <string>

namespace vq {

// A new random (version 4) identifier in the registry form
// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, upper-case hexadecimal, 38 characters.
std::string NewGuidText();

}  // namespace vq
