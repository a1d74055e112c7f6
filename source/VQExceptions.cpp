#include "VQExceptions.h"

namespace vq {

EAssertionFailed::EAssertionFailed(const std::string& Message, std::source_location Where)
    : Exception(Message + " (" + Where.file_name() + ", line " + std::to_string(Where.line()) + ")"),
      FMessage(Message),
      FFileName(Where.file_name()),
      FLine(Where.line()) {}

}  // namespace vq
