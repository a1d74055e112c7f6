#pragma once

/// @file
/// The logger every client starts with.

#include <atomic>
#include <chrono>
#include <functional>

#include <vqstomp/VQSupportInterfaces.h>

namespace vq {

/// Logs to standard output as "<local date> <local time> [LEVEL] message", one write
/// per line so that lines of several threads never interleave; at exactly midnight the
/// time is left out. Level and console output may change while other threads log; the
/// handler and the clock are to be set before.
class TSimpleLogger : public ILogging {
public:
  /// Gives the time of a line's stamp.
  using TClock = std::function<std::chrono::system_clock::time_point()>;

  /// At level llInfo, with console output on when standard output is open.
  TSimpleLogger();

  using ILogging::Debug;
  using ILogging::Error;
  using ILogging::Fatal;
  using ILogging::Info;
  using ILogging::Log;
  using ILogging::Warn;

  /// Raises vq::Exception "No console application" when standard output is not open.
  void SetConsoleOutput(bool Value) override;
  bool GetConsoleOutput() const override { return FConsoleOutput; }
  void SetLevel(TLogLevel Value) override { FLevel = Value; }
  TLogLevel GetLevel() const override { return FLevel; }
  void SetOnLog(TLogEvent Handler) override { FOnLog = std::move(Handler); }
  TLogEvent GetOnLog() const override { return FOnLog; }
  void Debug(const std::u16string& Msg) override { Log(Msg, llDebug); }
  void Info(const std::u16string& Msg) override { Log(Msg, llInfo); }
  void Warn(const std::u16string& Msg) override { Log(Msg, llWarn); }
  void Error(const std::u16string& Msg) override { Log(Msg, llError); }
  void Fatal(const std::u16string& Msg) override { Log(Msg, llFatal); }
  /// Raises vq::Exception when standard output does not take the line.
  void Log(const std::u16string& Msg, TLogLevel Level) override;
  std::u16string FormatLogLine(const std::u16string& Msg, TLogLevel Level) const override;

  /// The time source of the line stamps; replaceable so that stamps can be checked.
  void SetClock(TClock Clock) { FClock = std::move(Clock); }

private:
  std::atomic<TLogLevel> FLevel{llInfo};
  TLogEvent FOnLog;
  std::atomic<bool> FConsoleOutput{false};
  TClock FClock;
};

}  // namespace vq
