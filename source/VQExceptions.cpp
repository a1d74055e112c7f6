#include "VQExceptions.h"

namespace vq {

EAssertionFailed::EAssertionFailed(const std::string& Message, TSourceLocation Where)
    : Exception(Message + " (" + Where.FileName + ", line " + std::to_string(Where.Line) + ")"),
      FMessage(Message),
      FFileName(Where.FileName),
      FLine(Where.Line) {}

}  // namespace vq
