// Runs the built sender, receiver and tour programs as separate processes against a
// real broker, and once with no broker at all.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <vqstomp/VQJMSConnection.h>

#include "ProcessRunner.h"
#include "TestSupport.h"

namespace vq::test {
namespace {

constexpr int MessageCount = 2000;
const std::string Compiler = VQSTOMP_COMPILER;

// The messages of the log lines, without their time stamps and level tags.
std::vector<std::string> LogMessages(const std::string& Out) {
  static const std::string Tag = " [INFO] ";
  std::vector<std::string> Messages;
  size_t Start = 0;
  while (Start < Out.size()) {
    size_t End = Out.find('\n', Start);
    if (End == std::string::npos) End = Out.size();
    const std::string Line = Out.substr(Start, End - Start);
    const size_t At = Line.find(Tag);
    Messages.push_back(At == std::string::npos ? Line : Line.substr(At + Tag.size()));
    Start = End + 1;
  }
  return Messages;
}

// Names the first line that departs from the expected ones; empty when all agree.
std::string FirstDifference(const std::vector<std::string>& Actual, const std::vector<std::string>& Expected) {
  for (size_t I = 0; I < std::max(Actual.size(), Expected.size()); ++I) {
    const std::string Got = I < Actual.size() ? Actual[I] : "(no line)";
    const std::string Wanted = I < Expected.size() ? Expected[I] : "(no line)";
    if (Got != Wanted) return "line " + std::to_string(I + 1) + ": got \"" + Got + "\", expected \"" + Wanted + "\"";
  }
  return "";
}

std::vector<std::string> FirstLines() { return {"Compiler: " + Compiler, "Connect to server"}; }

std::vector<std::string> SenderLog() {
  auto Lines = FirstLines();
  for (int I = 1; I <= MessageCount; ++I) Lines.push_back("Sending test message " + std::to_string(I) + " to /queue/a ...");
  Lines.push_back("Hit any key");
  return Lines;
}

std::vector<std::string> ReceiverLog() {
  auto Lines = FirstLines();
  Lines.push_back("Wait for " + std::to_string(MessageCount) + " incoming messages");
  for (int I = 1; I <= MessageCount; ++I)
    Lines.push_back(std::to_string(I) + " This is test message " + std::to_string(I));
  Lines.push_back("Hit any key");
  return Lines;
}

// Takes every message off the queue; returns how many there were.
int DrainQueue(const TBrokerAddress& Broker, const std::string& QueueName) {
  const auto Connection = TVQJMSConnection::CreateConnection("", "", Broker.Host, Broker.Port);
  Connection->Start();
  const auto Session = Connection->CreateSession(false, 3);
  const auto Consumer = Session->CreateConsumer(Session->CreateQueue(QueueName));
  int Count = 0;
  while (Consumer->Receive(2000)) ++Count;
  Session->Close();
  Connection->Close();
  return Count;
}

std::string Describe(const TRun& Run) {
  return "exit code " + std::to_string(Run.ExitCode) + (Run.TimedOut ? " (timed out)" : "") + ", stderr: " + Run.Err;
}

TEST(SamplesEndToEndTest, SenderAndReceiverPassEveryMessageInOrderAndLeaveTheQueueEmpty) {
  VQ_REQUIRE_BROKER(Broker);
  // Whatever earlier tests left on the queue would shift the receiver's numbering.
  DrainQueue(Broker, "/queue/a");

  const TRun Sender = RunProgram({VQSTOMP_SENDER});
  EXPECT_EQ(Sender.ExitCode, 0) << Describe(Sender);
  EXPECT_EQ(FirstDifference(LogMessages(Sender.Out), SenderLog()), "");

  const TRun Receiver = RunProgram({VQSTOMP_RECEIVER});
  EXPECT_EQ(Receiver.ExitCode, 0) << Describe(Receiver);
  EXPECT_EQ(FirstDifference(LogMessages(Receiver.Out), ReceiverLog()), "");

  EXPECT_EQ(DrainQueue(Broker, "/queue/a"), 0) << "messages were left on the queue";
}

TEST(SamplesEndToEndTest, TourRunsThroughPollingListenerAndTransaction) {
  VQ_REQUIRE_BROKER(Broker);
  DrainQueue(Broker, "/queue/tour");
  const TRun Tour = RunProgram({VQSTOMP_TOUR}, {.Limit = std::chrono::seconds(60)});
  EXPECT_EQ(Tour.ExitCode, 0) << Describe(Tour);
  EXPECT_EQ(Tour.Out, "received: Hello\nlistener: committed\n");
  EXPECT_EQ(DrainQueue(Broker, "/queue/tour"), 0) << "the rolled back message was delivered";
}

// Needs nothing listening on localhost:61613, so the test command runs it on its own.
TEST(SamplesEndToEndTest, WithoutBrokerBothProgramsStopAfterTwoLinesWithAnError) {
  const char* NoBroker = std::getenv("VQSTOMP_NO_BROKER");
  if (NoBroker == nullptr || std::string(NoBroker) != "1")
    GTEST_SKIP() << "set VQSTOMP_NO_BROKER=1 while no broker listens on localhost:61613 (scripts/test.sh does)";
  for (const std::string Program : {VQSTOMP_SENDER, VQSTOMP_RECEIVER}) {
    SCOPED_TRACE(Program);
    const TRun Run = RunProgram({Program}, {.Limit = std::chrono::seconds(60)});
    EXPECT_FALSE(Run.TimedOut);
    EXPECT_NE(Run.ExitCode, 0);
    EXPECT_EQ(FirstDifference(LogMessages(Run.Out), FirstLines()), "");
    EXPECT_EQ(Run.Err.rfind("Error: ", 0), 0u) << Run.Err;
    EXPECT_GT(Run.Err.size(), std::string("Error: \n").size()) << "the error names no cause";
  }
}

}  // namespace
}  // namespace vq::test
