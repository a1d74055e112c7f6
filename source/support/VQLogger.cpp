#include <vqstomp/VQLogger.h>

#include <cstdio>
#include <ctime>
#include <iomanip>
#include <locale>
#include <sstream>

#include <vqstomp/VQExceptions.h>

#include "support/VQConsole.h"
#include "support/VQUnicode.h"

namespace vq {

namespace {

std::locale UserLocale() {
  try {
    return std::locale("");
  } catch (const std::runtime_error&) {
    return std::locale::classic();
  }
}

// The date alone at midnight, otherwise date and time, in the user's formats.
std::string FormatDateTime(std::chrono::system_clock::time_point Now) {
  static const std::locale Locale = UserLocale();
  const std::time_t Seconds = std::chrono::system_clock::to_time_t(Now);
  std::tm Local{};
  localtime_r(&Seconds, &Local);
  std::ostringstream Out;
  Out.imbue(Locale);
  Out << std::put_time(&Local, "%x");
  if (Local.tm_hour != 0 || Local.tm_min != 0 || Local.tm_sec != 0) Out << ' ' << std::put_time(&Local, "%X");
  return Out.str();
}

const char16_t* LevelText(TLogLevel Level) {
  static const char16_t* const Texts[] = {u"DEBUG", u"INFO", u"WARN", u"ERROR", u"FATAL"};
  return Level <= llFatal ? Texts[Level] : u"";
}

}  // namespace

TSimpleLogger::TSimpleLogger() : FClock(&std::chrono::system_clock::now) {
  if (IsConsoleApplication()) SetConsoleOutput(true);
}

void TSimpleLogger::SetConsoleOutput(bool Value) {
  if (!IsConsoleApplication()) throw Exception("No console application");
  FConsoleOutput = Value;
}

void ILogging::Log(const std::string& Msg, TLogLevel Level) { Log(Utf8ToUtf16Replacing(Msg), Level); }

void TSimpleLogger::Log(const std::u16string& Msg, TLogLevel Level) {
  if (Level < FLevel) return;
  if (FOnLog) FOnLog(Msg, Level);
  if (!FConsoleOutput || !IsConsoleApplication()) return;
  // One write per line, so that lines logged from several threads never interleave.
  const std::string Line = Utf16ToUtf8(FormatLogLine(Msg, Level)) + '\n';
  if (std::fwrite(Line.data(), 1, Line.size(), stdout) != Line.size() || std::fflush(stdout) != 0)
    throw Exception("I/O error writing to standard output");
}

std::u16string TSimpleLogger::FormatLogLine(const std::u16string& Msg, TLogLevel Level) const {
  std::u16string Line = Utf8ToUtf16(FormatDateTime(FClock()));
  Line.append(u" [").append(LevelText(Level)).append(u"] ").append(Msg);
  return Line;
}

}  // namespace vq
