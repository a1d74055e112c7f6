#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace vq {

// Root of everything the library throws, so one handler catches them all.
class Exception : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A text that had to be an integer and was not.
class EConvertError : public Exception {
public:
  using Exception::Exception;
};

// A broken internal invariant; names where the check sits.
class EAssertionFailed : public Exception {
public:
  explicit EAssertionFailed(const std::string& Message,
                            std::source_location Where = std::source_location::current());
  const std::string& GetMessage() const { return FMessage; }
  const char* GetFileName() const { return FFileName; }
  unsigned GetLine() const { return FLine; }

private:
  std::string FMessage;
  const char* FFileName;
  unsigned FLine;
};

inline void Assert(bool Condition, const std::string& Message,
                   std::source_location Where = std::source_location::current()) {
  if (!Condition) throw EAssertionFailed(Message, Where);
}

}  // namespace vq
