#include <vqstomp/VQLogger.h>

#include <gtest/gtest.h>

#include <ctime>
#include <vector>

#include <vqstomp/VQExceptions.h>

#include "support/VQUnicode.h"

using namespace vq;

namespace {

struct TLogged {
  std::u16string Msg;
  TLogLevel Level;
};

std::chrono::system_clock::time_point LocalTime(int Hour, int Minute, int Second) {
  std::tm Local{};
  Local.tm_year = 2026 - 1900;
  Local.tm_mon = 11;
  Local.tm_mday = 9;
  Local.tm_hour = Hour;
  Local.tm_min = Minute;
  Local.tm_sec = Second;
  Local.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&Local));
}

std::string Line(TSimpleLogger& Logger, const std::u16string& Msg, TLogLevel Level) {
  return Utf16ToUtf8(Logger.FormatLogLine(Msg, Level));
}

}  // namespace

TEST(VQLogger, FiltersByLevelAndCallsBackBeforeTheConsole) {
  TSimpleLogger Logger;
  std::vector<TLogged> Logged;
  Logger.SetOnLog([&](const std::u16string& Msg, TLogLevel Level) {
    if (Msg == u"refused") throw Exception("callback failed");
    Logged.push_back({Msg, Level});
  });

  testing::internal::CaptureStdout();
  Logger.Debug(u"d");
  Logger.Info(u"i");
  Logger.Warn(u"w");
  Logger.Error(u"e");
  Logger.Fatal(u"f");
  Logger.Log(u"seven", static_cast<TLogLevel>(7));
  // The callback runs first: when it fails, no console line is written.
  EXPECT_THROW(Logger.Info(u"refused"), Exception);
  const std::string Console = testing::internal::GetCapturedStdout();

  ASSERT_EQ(Logged.size(), 5u);
  EXPECT_EQ(Logged[0].Msg, u"i");
  EXPECT_EQ(Logged[4].Level, 7);
  EXPECT_EQ(Console.find("refused"), std::string::npos);
  EXPECT_NE(Console.find("[INFO] i\n"), std::string::npos);
  EXPECT_NE(Console.find("[FATAL] f\n"), std::string::npos);
  EXPECT_NE(Console.find("[] seven\n"), std::string::npos);
  EXPECT_EQ(Console.find("[DEBUG]"), std::string::npos);

  Logged.clear();
  Logger.SetConsoleOutput(false);
  Logger.SetOnLog([&](const std::u16string& Msg, TLogLevel Level) { Logged.push_back({Msg, Level}); });
  Logger.SetLevel(llFatal);
  Logger.Error(u"e");
  Logger.Fatal(u"f");
  Logger.SetLevel(static_cast<TLogLevel>(5));
  Logger.Fatal(u"suppressed");
  ASSERT_EQ(Logged.size(), 1u);
  EXPECT_EQ(Logged[0].Msg, u"f");
}

TEST(VQLogger, Utf8TextReachesEveryLevelAsTheSameText) {
  TSimpleLogger Logger;
  Logger.SetConsoleOutput(false);
  Logger.SetLevel(llDebug);
  std::vector<TLogged> Logged;
  Logger.SetOnLog([&](const std::u16string& Msg, TLogLevel Level) { Logged.push_back({Msg, Level}); });
  ILogging& AsInterface = Logger;
  Logger.Debug(std::string("d"));
  AsInterface.Info("caf\xC3\xA9");
  Logger.Warn(std::string("w"));
  AsInterface.Error(std::string("e"));
  Logger.Fatal(std::string("f"));
  AsInterface.Log("bad \xFF", llInfo);
  ASSERT_EQ(Logged.size(), 6u);
  EXPECT_EQ(Logged[1].Msg, u"caf\u00E9");
  EXPECT_EQ(Logged[1].Level, llInfo);
  EXPECT_EQ(Logged[4].Level, llFatal);
  EXPECT_EQ(Logged[5].Msg, u"bad \uFFFD") << "ill-formed UTF-8 is marked, the line is kept";
}

TEST(VQLogger, CallbackWithoutConsoleOutput) {
  TSimpleLogger Logger;
  Logger.SetConsoleOutput(false);
  int Calls = 0;
  Logger.SetOnLog([&](const std::u16string&, TLogLevel) { ++Calls; });
  testing::internal::CaptureStdout();
  Logger.Info(u"quiet");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(Calls, 1);
  EXPECT_FALSE(Logger.GetConsoleOutput());
}

TEST(VQLogger, LineFormatAndMidnightRule) {
  TSimpleLogger Logger;
  Logger.SetClock([] { return LocalTime(13, 5, 9); });
  const std::string Afternoon = Line(Logger, u"hello \u00e9", llInfo);
  EXPECT_TRUE(Afternoon.ends_with(" [INFO] hello \xC3\xA9")) << Afternoon;
  EXPECT_NE(Afternoon.find("13:05:09"), std::string::npos) << Afternoon;

  Logger.SetClock([] { return LocalTime(0, 0, 0); });
  const std::string Midnight = Line(Logger, u"", llWarn);
  EXPECT_TRUE(Midnight.ends_with(" [WARN] ")) << Midnight;
  // The date alone: exactly one blank before the level tag.
  EXPECT_EQ(Midnight.find(' '), Midnight.size() - 8) << Midnight;

  Logger.SetClock([] { return LocalTime(0, 0, 1); });
  EXPECT_NE(Line(Logger, u"", llWarn).find("00:00:01"), std::string::npos);
  EXPECT_TRUE(Line(Logger, u"x", static_cast<TLogLevel>(200)).ends_with(" [] x"));
}
