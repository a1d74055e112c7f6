#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace vq {

// Any byte value is a level; only 0 to 4 have names.
enum TLogLevel : uint8_t { llDebug = 0, llInfo = 1, llWarn = 2, llError = 3, llFatal = 4 };

/// A time-out in the int32_t milliseconds the library counts in; a longer one is cut to
/// about 24.8 days.
inline int32_t TimeoutMilliseconds(std::chrono::milliseconds Timeout) {
  return static_cast<int32_t>(std::clamp<std::chrono::milliseconds::rep>(Timeout.count(), INT32_MIN, INT32_MAX));
}

using TLogEvent = std::function<void(const std::u16string& Msg, TLogLevel Level)>;

class ILogging {
public:
  virtual ~ILogging() = default;

  virtual void SetConsoleOutput(bool Value) = 0;
  virtual bool GetConsoleOutput() const = 0;
  virtual void SetLevel(TLogLevel Value) = 0;
  virtual TLogLevel GetLevel() const = 0;
  virtual void SetOnLog(TLogEvent Handler) = 0;
  virtual TLogEvent GetOnLog() const = 0;
  virtual void Debug(const std::u16string& Msg) = 0;
  virtual void Info(const std::u16string& Msg) = 0;
  virtual void Warn(const std::u16string& Msg) = 0;
  virtual void Error(const std::u16string& Msg) = 0;
  virtual void Fatal(const std::u16string& Msg) = 0;
  virtual void Log(const std::u16string& Msg, TLogLevel Level) = 0;
  virtual std::u16string FormatLogLine(const std::u16string& Msg, TLogLevel Level) const = 0;

  /// The same for UTF-8 text; ill-formed sequences become U+FFFD.
  void Debug(const std::string& Msg) { Log(Msg, llDebug); }
  void Info(const std::string& Msg) { Log(Msg, llInfo); }
  void Warn(const std::string& Msg) { Log(Msg, llWarn); }
  void Error(const std::string& Msg) { Log(Msg, llError); }
  void Fatal(const std::string& Msg) { Log(Msg, llFatal); }
  void Log(const std::string& Msg, TLogLevel Level);
};

}  // namespace vq
