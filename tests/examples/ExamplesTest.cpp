// Runs each example application as a process: against the broker of the test run, where
// each must print its fixed lines, also on a second run that shares the broker with the
// first; and against no broker, where each must fail with its reason.

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "TestSupport.h"

namespace vq::test {
namespace {

struct TExample {
  std::string Program;
  std::string Output;
};

const std::vector<TExample> Examples = {
    {VQSTOMP_REQUEST_REPLY,
     "reply to request-1: HELLO 1\n"
     "reply to request-2: HELLO 2\n"
     "reply to request-3: HELLO 3\n"},
    {VQSTOMP_PUB_SUB,
     "subscriber 1: ACME price=12.5 volume=300 sequence=9000000001 closing=false\n"
     "subscriber 1: GLOBEX price=7.25 volume=120 sequence=9000000002 closing=false\n"
     "subscriber 1: INITECH price=101.75 volume=45 sequence=9000000003 closing=true\n"
     "subscriber 2: ACME price=12.5 volume=300 sequence=9000000001 closing=false\n"
     "subscriber 2: GLOBEX price=7.25 volume=120 sequence=9000000002 closing=false\n"
     "subscriber 2: INITECH price=101.75 volume=45 sequence=9000000003 closing=true\n"},
    {VQSTOMP_WORKER,
     "worker 1 took job-42: resize image 42\n"
     "worker 1 stopped without acknowledging job-42\n"
     "worker 2 took job-42 again, redelivered\n"
     "worker 2 acknowledged job-42\n"
     "worker 3 found the queue empty\n"},
    {VQSTOMP_TRANSACTED_BATCH,
     "sent and rolled back batch 1\n"
     "sent and committed batch 2\n"
     "received: batch 2 message 1\n"
     "received: batch 2 message 2\n"
     "received: batch 2 message 3\n"
     "rolled back the receipt\n"
     "received again: batch 2 message 1\n"
     "received again: batch 2 message 2\n"
     "received again: batch 2 message 3\n"
     "committed the receipt\n"
     "the queue is empty\n"},
};

constexpr std::chrono::seconds RunLimit{120};

TRun RunExample(const std::string& Program, const std::string& Broker) {
  return RunProgram({Program, Broker}, {.Input = "", .Limit = RunLimit});
}

std::string Describe(const TRun& Run) {
  return "exit code " + std::to_string(Run.ExitCode) + (Run.TimedOut ? " (timed out)" : "") + ", stderr: " + Run.Err;
}

// A loopback port that was free a moment ago: connecting to it is refused at once.
int FreePort() {
  const int Socket = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Length = sizeof Address;
  const bool Bound = bind(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0 &&
                     getsockname(Socket, reinterpret_cast<sockaddr*>(&Address), &Length) == 0;
  close(Socket);
  return Bound ? ntohs(Address.sin_port) : 0;
}

void ExpectFailure(const TRun& Run, const std::string& Reason) {
  EXPECT_FALSE(Run.TimedOut);
  EXPECT_EQ(Run.ExitCode, 1) << Describe(Run);
  EXPECT_EQ(Run.Out, "");
  EXPECT_EQ(Run.Err.rfind("Error: ", 0), 0u) << Run.Err;
  EXPECT_NE(Run.Err.find(Reason), std::string::npos) << Run.Err;
}

TEST(ExamplesEndToEnd, EachExamplePrintsItsLinesAndASecondRunMeetsNothingOfTheFirst) {
  VQ_REQUIRE_BROKER(Broker);
  const std::string Address = Broker.Host + ":" + std::to_string(Broker.Port);
  for (const auto& Example : Examples)
    for (const char* Round : {"first run", "second run"}) {
      SCOPED_TRACE(Example.Program + ", " + Round);
      const TRun Run = RunExample(Example.Program, Address);
      EXPECT_EQ(Run.ExitCode, 0) << Describe(Run);
      EXPECT_EQ(Run.Out, Example.Output);
      EXPECT_EQ(Run.Err, "");
    }
}

TEST(ExamplesEndToEnd, WithABadBrokerArgumentOrNoBrokerEachExampleFailsWithItsReason) {
  const int Port = FreePort();
  ASSERT_NE(Port, 0);
  for (const auto& Example : Examples) {
    SCOPED_TRACE(Example.Program);
    ExpectFailure(RunExample(Example.Program, "localhost"), "host:port");
    ExpectFailure(RunExample(Example.Program, "localhost:port"), "is not a number");
    ExpectFailure(RunExample(Example.Program, "127.0.0.1:" + std::to_string(Port)),
                  "no connection to 127.0.0.1:" + std::to_string(Port));
  }
}

}  // namespace
}  // namespace vq::test
