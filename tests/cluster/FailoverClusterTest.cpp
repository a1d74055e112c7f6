// Failover on a real cluster: a producer with synchronous sends and a consumer with
// individual acknowledgement move messages while the node the consumer is connected to
// is killed (SIGKILL) and restarted, three times. Runs when the test command's cluster
// round names the cluster:
//   VQSTOMP_CLUSTER=rabbitmq|activemq  VQSTOMP_CLUSTER_SCRIPT=scripts/cluster.sh
//   VQSTOMP_CLUSTER_BROKERS=127.0.0.1:61613,127.0.0.1:61614,...
//   VQSTOMP_CLUSTER_MESSAGES (20000)  VQSTOMP_CLUSTER_RATE (sends per second, 500)
//   VQSTOMP_CLUSTER_REPORT: a file the figures are appended to.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <vqstomp/VQJMSConnection.h>
#include <vqstomp/VQStompFrame.h>

#include "JMSTestSupport.h"
#include "ProcessRunner.h"
#include "TestSupport.h"
#include "support/VQGuid.h"

using namespace vq;
using namespace vq::test;
using TClock = std::chrono::steady_clock;

namespace {

constexpr int Kills = 3;

struct TClusterSetup {
  std::string Name;
  std::string Script;
  std::vector<std::string> Brokers;
  int Messages = 20000;
  int Rate = 500;
  std::string Report;
};

std::string Environment(const char* Name, const char* Default = "") {
  const char* Value = std::getenv(Name);
  return Value ? Value : Default;
}

std::optional<TClusterSetup> ClusterFromEnvironment() {
  TClusterSetup Setup;
  Setup.Name = Environment("VQSTOMP_CLUSTER");
  if (Setup.Name.empty()) return std::nullopt;
  Setup.Script = Environment("VQSTOMP_CLUSTER_SCRIPT", "scripts/cluster.sh");
  std::stringstream List(Environment("VQSTOMP_CLUSTER_BROKERS"));
  for (std::string Broker; std::getline(List, Broker, ',');) Setup.Brokers.push_back(Broker);
  Setup.Messages = std::stoi(Environment("VQSTOMP_CLUSTER_MESSAGES", "20000"));
  Setup.Rate = std::stoi(Environment("VQSTOMP_CLUSTER_RATE", "500"));
  Setup.Report = Environment("VQSTOMP_CLUSTER_REPORT");
  return Setup;
}

void RunScript(const TClusterSetup& Setup, const std::string& Command, int Node) {
  const TRun Run = RunProgram({Setup.Script, Command, Setup.Name, std::to_string(Node)}, {"", false, std::chrono::seconds(180)});
  ASSERT_EQ(Run.ExitCode, 0) << Command << " " << Node << ": " << Run.Out << Run.Err;
}

TVQConnectionOptions ClusterOptions(const TClusterSetup& Setup) {
  std::string URI = "failover:(";
  for (const auto& Broker : Setup.Brokers) URI += (URI.back() == '(' ? "tcp://" : ",tcp://") + Broker;
  URI += ")?initialReconnectDelay=100&maxReconnectDelay=1000&maxReconnectAttempts=-1&timeout=60000";
  TVQConnectionOptions Options = TVQConnectionOptions::FromURI(URI);
  Options.AcceptVersion = "1.2";
  Options.VirtualHost = "/";
  Options.HeartBeatSend = Options.HeartBeatReceive = std::chrono::milliseconds(1000);
  Options.ConnectTimeout = std::chrono::milliseconds(5000);
  Options.ReceiptTimeout = std::chrono::milliseconds(10000);
  return Options;
}

// A RabbitMQ quorum queue, whose majority outlives one node; ActiveMQ keeps persistent
// messages in the store that master and slave share.
std::string PrepareQueue(const TClusterSetup& Setup) {
  const std::string Name = "vqstomp-failover-" + NewGuidText();
  if (Setup.Name != "rabbitmq") return "/queue/" + Name;
  const auto Connection = TVQJMSConnection::CreateConnection(ClusterOptions(Setup));
  Connection->Start();
  TVQJMSClient& Client = Connection->GetClient();
  Client.Confirmed([&](std::string_view Receipt) {
    TVQStompFrame Declare;
    Declare.SetCommand("SUBSCRIBE");
    Declare.SetHeader("destination", "/queue/" + Name);
    Declare.SetHeader("id", "declare");
    Declare.SetHeader("durable", "true");
    Declare.SetHeader("auto-delete", "false");
    Declare.SetHeader("x-queue-type", "quorum");
    Declare.SetHeader("receipt", Receipt);
    Client.Transmit(Declare);
  });
  Client.UnsubscribeID("declare", "");
  Connection->Close();
  return "/amq/queue/" + Name;
}

// What the consumer saw, and when traffic came back after each kill.
class TTally {
public:
  explicit TTally(int Messages) : FSeen(Messages, false) {}

  void Take(const IMessage& Message) {
    const int Sequence = Message.GetProperties()->GetInt("seq");
    const bool Resent = Message.GetProperties()->GetBoolean("resent");
    const auto* Received = dynamic_cast<const TVQJMSMessage*>(&Message);
    std::lock_guard Guard(FLock);
    if (FResumeFrom && Received && Received->GetConnectionNumber() > FResumeFrom->Connection) {
      FResumptions.push_back(TClock::now() - FResumeFrom->Killed);
      FResumeFrom.reset();
    }
    if (Sequence < 0 || Sequence >= static_cast<int>(FSeen.size())) return;
    if (!FSeen[Sequence]) {
      FSeen[Sequence] = true;
      ++FDistinct;
      return;
    }
    ++(Message.GetJMSRedelivered() ? FRedelivered : Resent ? FResent : FUnmarked);
  }
  // A kill happened now, with the consumer on connection Connection.
  void Killed(uint64_t Connection) {
    std::lock_guard Guard(FLock);
    FResumeFrom = TKill{TClock::now(), Connection};
  }
  bool Resumed() const {
    std::lock_guard Guard(FLock);
    return !FResumeFrom;
  }
  int Distinct() const { return FDistinct; }
  std::string Figures() const {
    std::lock_guard Guard(FLock);
    std::vector<long long> Millis;
    for (const auto& Time : FResumptions)
      Millis.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(Time).count());
    std::sort(Millis.begin(), Millis.end());
    std::ostringstream Text;
    Text << "lost=" << FSeen.size() - FDistinct << " twice_redelivered=" << FRedelivered
         << " twice_resent=" << FResent << " twice_unmarked=" << FUnmarked << " resume_ms=";
    for (size_t Each = 0; Each < Millis.size(); ++Each) Text << (Each ? "," : "") << Millis[Each];
    if (!Millis.empty()) Text << " median=" << Millis[Millis.size() / 2] << " max=" << Millis.back();
    return Text.str();
  }
  int Unmarked() const { return FUnmarked; }
  size_t Resumptions() const {
    std::lock_guard Guard(FLock);
    return FResumptions.size();
  }

private:
  struct TKill {
    TClock::time_point Killed;
    uint64_t Connection;
  };

  mutable std::mutex FLock;
  std::vector<bool> FSeen;
  std::atomic<int> FDistinct{0};
  int FRedelivered = 0;
  int FResent = 0;
  int FUnmarked = 0;
  std::optional<TKill> FResumeFrom;
  std::vector<TClock::duration> FResumptions;
};

// Sends every message once confirmed, at a steady pace; one whose receipt the loss took
// goes again, marked, since it may or may not have arrived.
void Produce(const TClusterSetup& Setup, const std::string& Queue, std::atomic<bool>& Failed) {
  auto Options = ClusterOptions(Setup);
  Options.SyncSend = true;
  const auto Connection = TVQJMSConnection::CreateConnection(Options);
  Connection->Start();
  const auto Session = Connection->CreateSession(false, AckModeAuto);
  const auto Producer = Session->CreateProducer(Session->CreateQueue(Queue));
  const auto Start = TClock::now();
  for (int Sequence = 0; Sequence < Setup.Messages && !Failed; ++Sequence) {
    std::this_thread::sleep_until(Start + std::chrono::microseconds(1000000LL * Sequence / Setup.Rate));
    const auto Message = Session->CreateTextMessage("m" + std::to_string(Sequence));
    Message->SetJMSPersistent(true);
    Message->GetProperties()->SetInt("seq", Sequence);
    for (int Attempt = 0;; ++Attempt) {
      try {
        Producer->Send(Message);
        break;
      } catch (const Exception& Error) {
        if (Attempt == 60) {
          ADD_FAILURE() << "send " << Sequence << " failed 60 times: " << Error.what();
          Failed = true;
          break;
        }
        Message->GetProperties()->SetBoolean("resent", true);
        // RabbitMQ 3.10 drops a STOMP connection whose publish a leaderless quorum queue
        // refused, and stops listening after many such drops in a row: give it time.
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
      }
    }
  }
  Connection->Close();
}

struct TConsumerSide {
  std::shared_ptr<TVQJMSConnection> Connection;
  std::shared_ptr<ISession> Session;
  std::shared_ptr<IMessageConsumer> Consumer;
};

TConsumerSide Consume(const TClusterSetup& Setup, const std::string& Queue) {
  TConsumerSide Side;
  Side.Connection = TVQJMSConnection::CreateConnection(ClusterOptions(Setup));
  Side.Connection->Start();
  Side.Session = Side.Connection->CreateSession(false, AckModeClientIndividual);
  Side.Consumer = Side.Session->CreateConsumer(Side.Session->CreateQueue(Queue));
  return Side;
}

// Takes and acknowledges; an acknowledgement that the loss beat is no fault: the message
// comes again.
void Settle(TTally& Tally, const std::shared_ptr<IMessage>& Message) {
  Tally.Take(*Message);
  try {
    Message->Acknowledge();
  } catch (const Exception&) {
  }
}

class TSettlingListener : public IMessageListener {
public:
  explicit TSettlingListener(TTally& Tally) : FTally(Tally) {}
  void OnMessage(const std::shared_ptr<IMessage>& Message) override { Settle(FTally, Message); }

private:
  TTally& FTally;
};

int NodeOf(const TClusterSetup& Setup, const std::string& Broker) {
  const auto Found = std::find(Setup.Brokers.begin(), Setup.Brokers.end(), Broker);
  return Found == Setup.Brokers.end() ? 0 : static_cast<int>(Found - Setup.Brokers.begin()) + 1;
}

// Kills the consumer's node at a random moment in each third of the run, waits for
// traffic to come back, then restarts the node before the next kill.
void Kill(const TClusterSetup& Setup, TTally& Tally, TVQJMSConnection& Consumer, const std::atomic<bool>& Done) {
  std::mt19937 Random{std::random_device{}()};
  for (int K = 0; K < Kills && !Done; ++K) {
    const int Third = Setup.Messages / Kills;
    const int At = K * Third + std::uniform_int_distribution<int>(Third / 10, Third / 2)(Random);
    if (!WaitUntil([&] { return Tally.Distinct() >= At || Done; }, std::chrono::minutes(5)) || Done) return;
    const int Node = NodeOf(Setup, Consumer.GetBroker());
    ASSERT_NE(Node, 0) << Consumer.GetBroker();
    Tally.Killed(Consumer.GetClient().GetConnectionNumber());
    RunScript(Setup, "kill", Node);
    ASSERT_TRUE(WaitUntil([&] { return Tally.Resumed(); }, std::chrono::minutes(2))) << "no traffic after kill " << K;
    RunScript(Setup, "restart", Node);
  }
}

void MoveMessagesThroughKills(bool Listening) {
  const auto Setup = ClusterFromEnvironment();
  if (!Setup) {
    if (!Environment("VQSTOMP_REQUIRE_CLUSTER").empty()) FAIL() << "VQSTOMP_CLUSTER is not set";
    GTEST_SKIP() << "No cluster: scripts/test.sh runs this in a round of its own";
  }
  const std::string Queue = PrepareQueue(*Setup);
  TTally Tally(Setup->Messages);
  const TConsumerSide Side = Consume(*Setup, Queue);
  std::atomic<bool> Failed{false};
  std::atomic<bool> Done{false};
  std::thread Producer([&] { Produce(*Setup, Queue, Failed); });
  std::thread Killer([&] { Kill(*Setup, Tally, *Side.Connection, Done); });
  const auto Deadline = TClock::now() + std::chrono::minutes(6);
  if (Listening) {
    Side.Consumer->SetMessageListener(std::make_shared<TSettlingListener>(Tally));
    WaitUntil([&] { return Tally.Distinct() == Setup->Messages || Failed; }, std::chrono::minutes(6));
  } else {
    while (Tally.Distinct() < Setup->Messages && !Failed && TClock::now() < Deadline)
      if (const auto Message = Side.Consumer->Receive(1000)) Settle(Tally, Message);
  }
  Done = true;
  Producer.join();
  Killer.join();
  Side.Connection->Close();
  const std::string Figures = "cluster=" + Setup->Name + " consumer=" + (Listening ? "listener" : "Receive") +
                              " messages=" + std::to_string(Setup->Messages) + " " + Tally.Figures();
  std::cout << "FIGURES " << Figures << std::endl;
  if (!Setup->Report.empty()) std::ofstream(Setup->Report, std::ios::app) << Figures << "\n";
  EXPECT_EQ(Tally.Distinct(), Setup->Messages) << "messages lost";
  EXPECT_EQ(Tally.Unmarked(), 0) << "delivered twice without being marked redelivered or resent";
  EXPECT_EQ(Tally.Resumptions(), static_cast<size_t>(Kills));
}

}  // namespace

TEST(FailoverCluster, MessagesSurviveKilledNodesWithReceive) { MoveMessagesThroughKills(false); }

TEST(FailoverCluster, MessagesSurviveKilledNodesWithAListener) { MoveMessagesThroughKills(true); }
