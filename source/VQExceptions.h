#pragma once

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

// Where a check sits. Built on the compiler intrinsics because clang 14 with libstdc++ 12
// has no std::source_location.
struct TSourceLocation {
  static constexpr TSourceLocation current(const char* File = __builtin_FILE(), unsigned Line = __builtin_LINE()) {
    return {File, Line};
  }
  const char* FileName;
  unsigned Line;
};

// A broken internal invariant; names where the check sits.
class EAssertionFailed : public Exception {
public:
  explicit EAssertionFailed(const std::string& Message, TSourceLocation Where = TSourceLocation::current());
  const std::string& GetMessage() const { return FMessage; }
  const char* GetFileName() const { return FFileName; }
  unsigned GetLine() const { return FLine; }

private:
  std::string FMessage;
  const char* FFileName;
  unsigned FLine;
};

inline void Assert(bool Condition, const std::string& Message, TSourceLocation Where = TSourceLocation::current()) {
  if (!Condition) throw EAssertionFailed(Message, Where);
}

}  // namespace vq
