// Runs the built sender, receiver and tour programs as separate processes against a
// real broker, and once with no broker at all.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "VQJMSConnection.h"

extern char** environ;

namespace vq::test {
namespace {

constexpr int MessageCount = 2000;
const std::string Compiler = VQSTOMP_COMPILER;

struct TRun {
  int ExitCode = -1;
  bool TimedOut = false;
  std::string Out;
  std::string Err;
};

struct TPipe {
  int Read = -1;
  int Write = -1;
  TPipe() {
    int Ends[2];
    if (pipe2(Ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    Read = Ends[0];
    Write = Ends[1];
  }
  ~TPipe() {
    CloseRead();
    CloseWrite();
  }
  void CloseRead() { Close(Read); }
  void CloseWrite() { Close(Write); }

private:
  static void Close(int& Fd) {
    if (Fd >= 0) close(Fd);
    Fd = -1;
  }
};

// Reads both outputs until they end or the deadline passes.
bool Collect(TPipe& Out, TPipe& Err, TRun& Run, std::chrono::steady_clock::time_point Deadline) {
  std::array<pollfd, 2> Fds{{{Out.Read, POLLIN, 0}, {Err.Read, POLLIN, 0}}};
  std::array<std::string*, 2> Texts{&Run.Out, &Run.Err};
  while (Fds[0].fd >= 0 || Fds[1].fd >= 0) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
    if (Left.count() <= 0) return false;
    if (poll(Fds.data(), Fds.size(), static_cast<int>(Left.count())) < 0) return false;
    for (size_t I = 0; I < Fds.size(); ++I) {
      if (Fds[I].fd < 0 || Fds[I].revents == 0) continue;
      char Buffer[65536];
      const ssize_t Count = read(Fds[I].fd, Buffer, sizeof Buffer);
      if (Count > 0) {
        Texts[I]->append(Buffer, static_cast<size_t>(Count));
      } else {
        Fds[I].fd = -1;
      }
    }
  }
  return true;
}

// Runs a program with one line waiting on its standard input, as a user hitting Enter.
TRun RunProgram(const std::string& Path, std::chrono::seconds Limit = std::chrono::seconds(180)) {
  TPipe In, Out, Err;
  if (write(In.Write, "\n", 1) != 1) throw std::runtime_error("write to stdin pipe failed");
  In.CloseWrite();
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, In.Read, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&Actions, Out.Write, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&Actions, Err.Write, STDERR_FILENO);
  std::vector<char*> Argv{const_cast<char*>(Path.c_str()), nullptr};
  pid_t Pid = 0;
  const int Spawned = posix_spawn(&Pid, Path.c_str(), &Actions, nullptr, Argv.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  if (Spawned != 0) throw std::runtime_error("cannot start " + Path);
  Out.CloseWrite();
  Err.CloseWrite();
  TRun Run;
  Run.TimedOut = !Collect(Out, Err, Run, std::chrono::steady_clock::now() + Limit);
  if (Run.TimedOut) kill(Pid, SIGKILL);
  int Status = 0;
  waitpid(Pid, &Status, 0);
  Run.ExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
  return Run;
}

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

  const TRun Sender = RunProgram(VQSTOMP_SENDER);
  EXPECT_EQ(Sender.ExitCode, 0) << Describe(Sender);
  EXPECT_EQ(FirstDifference(LogMessages(Sender.Out), SenderLog()), "");

  const TRun Receiver = RunProgram(VQSTOMP_RECEIVER);
  EXPECT_EQ(Receiver.ExitCode, 0) << Describe(Receiver);
  EXPECT_EQ(FirstDifference(LogMessages(Receiver.Out), ReceiverLog()), "");

  EXPECT_EQ(DrainQueue(Broker, "/queue/a"), 0) << "messages were left on the queue";
}

TEST(SamplesEndToEndTest, TourRunsThroughPollingListenerAndTransaction) {
  VQ_REQUIRE_BROKER(Broker);
  DrainQueue(Broker, "/queue/tour");
  const TRun Tour = RunProgram(VQSTOMP_TOUR, std::chrono::seconds(60));
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
    const TRun Run = RunProgram(Program, std::chrono::seconds(60));
    EXPECT_FALSE(Run.TimedOut);
    EXPECT_NE(Run.ExitCode, 0);
    EXPECT_EQ(FirstDifference(LogMessages(Run.Out), FirstLines()), "");
    EXPECT_EQ(Run.Err.rfind("Error: ", 0), 0u) << Run.Err;
    EXPECT_GT(Run.Err.size(), std::string("Error: \n").size()) << "the error names no cause";
  }
}

}  // namespace
}  // namespace vq::test
