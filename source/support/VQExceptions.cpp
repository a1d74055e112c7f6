#include <vqstomp/VQExceptions.h>

#include <cstring>

namespace vq {

namespace {

std::string ErrorText(int ErrorCode) {
  char Buffer[256];
  return strerror_r(ErrorCode, Buffer, sizeof Buffer);
}

}  // namespace

EAssertionFailed::EAssertionFailed(const std::string& Message, TSourceLocation Where)
    : Exception(Message + " (" + Where.FileName + ", line " + std::to_string(Where.Line) + ")"),
      FMessage(Message),
      FFileName(Where.FileName),
      FLine(Where.Line) {}

EIdSocketError::EIdSocketError(int ErrorCode) : EIdSocketError(ErrorCode, ErrorText(ErrorCode)) {}

EIdSocketError::EIdSocketError(int ErrorCode, const std::string& Text)
    : EVQCommError("Socket Error # " + std::to_string(ErrorCode) + "\r\n" + Text), FErrorCode(ErrorCode) {}

}  // namespace vq
