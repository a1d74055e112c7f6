#pragma once

/// @file
/// Log levels, the logging interface and the time-out conversion shared by every layer.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace vq {

/// How much a log line matters. Any byte value is a level; only 0 to 4 have names:
/// llDebug (traces of frames and connection steps), llInfo (the logger's default level),
/// llWarn (something was dropped, such as a message no consumer takes), llError (a
/// failure that no call could raise, such as a failing listener) and llFatal.
enum TLogLevel : uint8_t { llDebug = 0, llInfo = 1, llWarn = 2, llError = 3, llFatal = 4 };

/// A time-out in the int32_t milliseconds the library counts in; a longer one is cut to
/// about 24.8 days.
inline int32_t TimeoutMilliseconds(std::chrono::milliseconds Timeout) {
  return static_cast<int32_t>(std::clamp<std::chrono::milliseconds::rep>(Timeout.count(), INT32_MIN, INT32_MAX));
}

/// Told of every line logged at or above the level, on the thread that logs it (the
/// read thread among others), before the line is written to standard output.
using TLogEvent = std::function<void(const std::u16string& Msg, TLogLevel Level)>;

/// Where the library's diagnostics go. May be called from any thread.
class ILogging {
public:
  virtual ~ILogging() = default;

  /// Writes the lines to standard output too, or stops doing so.
  virtual void SetConsoleOutput(bool Value) = 0;
  /// Lines are written to standard output.
  virtual bool GetConsoleOutput() const = 0;
  /// Drops the lines below Value from now on.
  virtual void SetLevel(TLogLevel Value) = 0;
  /// The lowest level that is logged.
  virtual TLogLevel GetLevel() const = 0;
  /// Installs the handler told of every line logged; set it before the connection starts.
  virtual void SetOnLog(TLogEvent Handler) = 0;
  /// The installed handler, or an empty one.
  virtual TLogEvent GetOnLog() const = 0;
  /// Logs Msg at llDebug.
  virtual void Debug(const std::u16string& Msg) = 0;
  /// Logs Msg at llInfo.
  virtual void Info(const std::u16string& Msg) = 0;
  /// Logs Msg at llWarn.
  virtual void Warn(const std::u16string& Msg) = 0;
  /// Logs Msg at llError.
  virtual void Error(const std::u16string& Msg) = 0;
  /// Logs Msg at llFatal.
  virtual void Fatal(const std::u16string& Msg) = 0;
  /// Hands Msg to the handler and, with console output on, writes its line; nothing when
  /// Level is below the logger's level.
  virtual void Log(const std::u16string& Msg, TLogLevel Level) = 0;
  /// The line written for Msg at Level.
  virtual std::u16string FormatLogLine(const std::u16string& Msg, TLogLevel Level) const = 0;

  /// The same for UTF-8 text; ill-formed sequences become U+FFFD.
  void Debug(const std::string& Msg) { Log(Msg, llDebug); }
  /// Logs UTF-8 Msg at llInfo.
  void Info(const std::string& Msg) { Log(Msg, llInfo); }
  /// Logs UTF-8 Msg at llWarn.
  void Warn(const std::string& Msg) { Log(Msg, llWarn); }
  /// Logs UTF-8 Msg at llError.
  void Error(const std::string& Msg) { Log(Msg, llError); }
  /// Logs UTF-8 Msg at llFatal.
  void Fatal(const std::string& Msg) { Log(Msg, llFatal); }
  /// Logs UTF-8 Msg at Level; ill-formed sequences become U+FFFD.
  void Log(const std::string& Msg, TLogLevel Level);
};

}  // namespace vq
