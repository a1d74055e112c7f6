#pragma once

#include <atomic>
#include <chrono>
#include <functional>

#include <vqstomp/VQSupportInterfaces.h>

namespace vq {

// Logs to standard output as "<local date> <local time> [LEVEL] message".
class TSimpleLogger : public ILogging {
public:
  using TClock = std::function<std::chrono::system_clock::time_point()>;

  TSimpleLogger();

  using ILogging::Debug;
  using ILogging::Error;
  using ILogging::Fatal;
  using ILogging::Info;
  using ILogging::Log;
  using ILogging::Warn;

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
  void Log(const std::u16string& Msg, TLogLevel Level) override;
  std::u16string FormatLogLine(const std::u16string& Msg, TLogLevel Level) const override;

  // The time source of the line stamps; replaceable so that stamps can be checked.
  void SetClock(TClock Clock) { FClock = std::move(Clock); }

private:
  std::atomic<TLogLevel> FLevel{llInfo};
  TLogEvent FOnLog;
  std::atomic<bool> FConsoleOutput{false};
  TClock FClock;
};

}  // namespace vq
