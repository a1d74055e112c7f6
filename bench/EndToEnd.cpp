// One case of the end-to-end comparison with the library, against a real broker:
//   vqstomp_e2e_bench send-text|send-bytes|receive-client|receive-auto COUNT QUEUE [ADDRESS]
//   vqstomp_e2e_bench send-sync COUNT QUEUE [ADDRESS]       (STOMP 1.2, heart-beats 1000,1000)
//   vqstomp_e2e_bench idle-heartbeat SECONDS QUEUE [ADDRESS] (the same, idle)
//   vqstomp_e2e_bench connect COUNT QUEUE [ADDRESS]         (COUNT connections, one after the other)
//   vqstomp_e2e_bench send-1mib|receive-1mib|send-16mib|receive-16mib COUNT QUEUE [ADDRESS]
//                     (bytes messages of that size, received by a listener that checks each size)
//   vqstomp_e2e_bench send-spread|listen-spread COUNT QUEUE [ADDRESS]
//                     (round-robin over QUEUE.0 to QUEUE.(N-1), one listening consumer each, on one
//                     session; N from VQSTOMP_BENCH_CONSUMERS, 1000 without it)
//   vqstomp_e2e_bench reconnect 1 QUEUE HOST:PORT,HOST:PORT,...
//                     (failover over the list, STOMP 1.2 with heart-beats 1000,1000; the command
//                     that VQSTOMP_BENCH_KILL holds is run with the number of the broker connected
//                     to appended, 1 for the first, such as 'scripts/cluster.sh kill rabbitmq';
//                     elapsed is from the kill until a message sent after the reconnection came
//                     back to this program's listener; COUNT is not used). A classic RabbitMQ
//                     queue dies with its node: there QUEUE is a /topic/ one, subscribed again on
//                     the next node, or a quorum queue declared beforehand (/amq/queue/NAME).
// ADDRESS is HOST:PORT, or ssl://HOST:PORT for TLS trusting the CA file that
// VQSTOMP_BENCH_TLS_CA names.
// Prints "elapsed=<s> cpu=<s>" for the work itself: sends end with the broker's receipt
// for the last message (each message's, when synchronous), receives with the last
// message handled.

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <vqstomp/VQJMSConnection.h>
#include <vqstomp/VQStompFrame.h>

#include "BenchSupport.h"
#include "transport/VQCommInterfaces.h"

using namespace vq;
using namespace vq::bench;

namespace {

// Numbered texts are made per message, the fixed bulk text once; a large body is made
// once too, in the one message sent again and again, so that only the library's copies
// weigh on memory. Texts are UTF-8 strings, as the sample sender makes them.
class TMessageMaker {
public:
  TMessageMaker(ISession& Session, TCase Case)
      : FSession(Session), FCase(Case), FBulk(BulkBody()), FLarge(LargeMessage(Session, Case)) {}
  std::shared_ptr<IMessage> Make(int32_t Number) const {
    if (FLarge) return FLarge;
    if (NumberedTexts(FCase)) return FSession.CreateTextMessage(TextBody(Number));
    return FSession.CreateTextMessage(FBulk);
  }

private:
  static std::shared_ptr<IMessage> LargeMessage(ISession& Session, TCase Case) {
    const size_t Size = LargeBodySize(Case);
    if (Size == 0) return nullptr;
    auto Message = Session.CreateBytesMessage();
    Message->SetContent(std::string(Size, 'x'));
    return Message;
  }

  ISession& FSession;
  const TCase FCase;
  const std::string FBulk;
  const std::shared_ptr<IMessage> FLarge;
};

void AwaitReceipt(TVQJMSClient& Client) {
  bool Arrived = false;
  Client.SetOnReceiptFrame([&Arrived](TVQStompCustomClient&, IStompFrame& Frame) {
    Arrived = Arrived || Frame.GetHeader("receipt-id") == LastReceipt;
  });
  while (!Arrived)
    if (!Client.GetCommAdapter()->ReceiveFrame(BrokerTimeoutMs)) throw std::runtime_error("no receipt from the broker");
}

int32_t SpreadWidth() {
  constexpr const char* Variable = "VQSTOMP_BENCH_CONSUMERS";
  const char* Value = std::getenv(Variable);
  const int32_t Width = Value == nullptr || *Value == '\0' ? 1000 : std::stoi(Value);
  if (Width < 1) throw std::invalid_argument(std::string(Variable) + " must be 1 or more");
  return Width;
}

// QUEUE.0 to QUEUE.(N-1) for the spread cases, QUEUE alone for the others.
std::vector<std::string> QueueNames(const TOptions& Options) {
  if (Options.Case != TCase::SendSpread && Options.Case != TCase::ListenSpread) return {Options.Queue};
  std::vector<std::string> Names;
  for (int32_t Index = 0, Width = SpreadWidth(); Index < Width; ++Index)
    Names.push_back(Options.Queue + "." + std::to_string(Index));
  return Names;
}

// Message Number's place in a round over Width queues.
size_t Turn(int32_t Number, size_t Width) { return static_cast<size_t>(Number - 1) % Width; }

// Every message but the last through the producer of its queue, round-robin, the last
// with a receipt to wait for.
void SendMessages(TVQJMSConnection& Connection, const TOptions& Options) {
  const auto Session = Connection.CreateSession(false, AckModeAuto);
  const auto Queues = QueueNames(Options);
  std::vector<std::shared_ptr<IMessageProducer>> Producers;
  for (const auto& Queue : Queues) Producers.push_back(Session->CreateProducer(Session->CreateQueue(Queue)));
  const TMessageMaker Maker(*Session, Options.Case);
  const TWorkTimer Timer;
  for (int32_t Number = 1; Number < Options.Count; ++Number)
    Producers[Turn(Number, Producers.size())]->Send(Maker.Make(Number));
  Connection.GetClient().SendMessage(Maker.Make(Options.Count), Queues[Turn(Options.Count, Queues.size())],
                                     LastReceipt);
  AwaitReceipt(Connection.GetClient());
  Timer.Report();
}

void SendSynchronously(TVQJMSConnection& Connection, const TOptions& Options) {
  const auto Session = Connection.CreateSession(false, AckModeAuto);
  const auto Producer = Session->CreateProducer(Session->CreateQueue(Options.Queue));
  Producer->SetSyncSend(true);
  const TMessageMaker Maker(*Session, Options.Case);
  const TWorkTimer Timer;
  for (int32_t Number = 1; Number <= Options.Count; ++Number) Producer->Send(Maker.Make(Number));
  Timer.Report();
}

// The heart-beat thread alone is at work.
void StayIdle(const TOptions& Options) {
  const TWorkTimer Timer;
  std::this_thread::sleep_for(std::chrono::seconds(Options.Count));
  Timer.Report();
}

void ReceiveAndAcknowledge(TVQJMSConnection& Connection, const TOptions& Options) {
  const auto Session = Connection.CreateSession(false, AckModeClient);
  const TWorkTimer Timer;
  const auto Consumer = Session->CreateConsumer(Session->CreateQueue(Options.Queue));
  for (int32_t Number = 1; Number <= Options.Count; ++Number) {
    const auto Message = Consumer->Receive(BrokerTimeoutMs);
    if (!Message) throw std::runtime_error("message " + std::to_string(Number) + " did not arrive");
    Connection.GetClient().Ack(Message->GetJMSMessageID(), "");
  }
  Timer.Report();
  Session->Close();
}

// Counts the messages of every consumer it listens to and, given a body size, those of
// another size (or not bytes). A received message is not kept.
class TCountingListener : public IMessageListener {
public:
  explicit TCountingListener(size_t BodySize) : FBodySize(BodySize) {}
  void OnMessage(const std::shared_ptr<IMessage>& Message) override {
    if (FBodySize != 0 && !HasBodySize(*Message)) ++FWrongBodies;
    // Only the awaited message wakes the waiter, so that the others cost no wake-up.
    if (++FCount != FAwaited) return;
    const std::lock_guard Guard(FLock);
    FArrived.notify_one();
  }
  // Whether Count messages in all arrived within Timeout.
  bool Await(int32_t Count, std::chrono::milliseconds Timeout) {
    std::unique_lock Guard(FLock);
    FAwaited = Count;
    return FArrived.wait_for(Guard, Timeout, [&] { return FCount >= Count; });
  }
  int32_t WrongBodies() const { return FWrongBodies; }

private:
  bool HasBodySize(const IMessage& Message) const {
    const auto* Bytes = dynamic_cast<const IBytesMessage*>(&Message);
    return Bytes != nullptr && Bytes->GetContent().size() == FBodySize;
  }

  const size_t FBodySize;
  std::atomic<int32_t> FCount{0};
  std::atomic<int32_t> FAwaited{0};
  std::atomic<int32_t> FWrongBodies{0};
  std::mutex FLock;
  std::condition_variable FArrived;
};

void ReceiveWithListener(TVQJMSConnection& Connection, const TOptions& Options) {
  const auto Session = Connection.CreateSession(false, AckModeAuto);
  const auto Listener = std::make_shared<TCountingListener>(LargeBodySize(Options.Case));
  const auto Queues = QueueNames(Options);
  // Subscribed before the time starts, so that it is the messages' alone (a thousand
  // subscriptions would weigh on the spread case): nothing is read before a listener is set.
  std::vector<std::shared_ptr<IMessageConsumer>> Consumers;
  for (const auto& Queue : Queues) Consumers.push_back(Session->CreateConsumer(Session->CreateQueue(Queue)));
  const TWorkTimer Timer;
  for (const auto& Consumer : Consumers) Consumer->SetMessageListener(Listener);
  if (!Listener->Await(Options.Count, std::chrono::milliseconds(BrokerTimeoutMs)))
    throw std::runtime_error("the listener did not get every message");
  if (Listener->WrongBodies() > 0)
    throw std::runtime_error(std::to_string(Listener->WrongBodies()) + " bodies were not of " +
                             std::to_string(LargeBodySize(Options.Case)) + " bytes");
  Timer.Report();
  Session->Close();
}

// Tells when the connection is back, its consumers subscribed again.
class TResumptionListener : public ITransportListener {
public:
  void OnInterrupted(const Exception&) override {}
  void OnResumed(const std::string&) override {
    const std::lock_guard Guard(FLock);
    FResumed = true;
    FChanged.notify_one();
  }
  bool Await(std::chrono::milliseconds Timeout) {
    std::unique_lock Guard(FLock);
    return FChanged.wait_for(Guard, Timeout, [&] { return FResumed; });
  }

private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FResumed = false;
};

// VQSTOMP_BENCH_KILL with the number of the broker connected to appended, 1 for the
// first of the list: the node number that scripts/cluster.sh kill takes.
std::string KillCommand(const TVQJMSConnection& Connection, const std::vector<TVQBrokerAddress>& Brokers) {
  constexpr const char* Variable = "VQSTOMP_BENCH_KILL";
  const char* Command = std::getenv(Variable);
  if (Command == nullptr || *Command == '\0')
    throw std::runtime_error(std::string("the reconnect case needs ") + Variable +
                             ", a command killing the broker whose number in the list it gets appended");
  const std::string Current = Connection.GetBroker();
  const auto Found =
      std::find_if(Brokers.begin(), Brokers.end(), [&](const auto& Broker) { return Broker.Text() == Current; });
  if (Found == Brokers.end()) throw std::runtime_error("connected to " + Current + ", which is not in the list");
  return std::string(Command) + " " + std::to_string(Found - Brokers.begin() + 1);
}

// Its output goes to standard error: standard output carries the figures alone.
void Kill(const std::string& Command) {
  const int Status = std::system((Command + " >&2").c_str());
  if (Status == 0) return;
  const std::string How = WIFEXITED(Status) ? "with exit status " + std::to_string(WEXITSTATUS(Status)) : "abnormally";
  throw std::runtime_error("'" + Command + "' failed " + How);
}

// A message may be lost with the broker it went to, or meet one that cannot route it yet:
// it is sent again until the listener has Count in all.
void SendUntilArrived(IMessageProducer& Producer, const std::shared_ptr<IMessage>& Message, TCountingListener& Listener,
                      int32_t Count) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(BrokerTimeoutMs);
  do {
    Producer.Send(Message);
    if (Listener.Await(Count, std::chrono::milliseconds(50))) return;
  } while (std::chrono::steady_clock::now() < Deadline);
  throw std::runtime_error("message " + std::to_string(Count) + " did not arrive");
}

// From just before the broker connected to is killed until a message sent after the
// reconnection reaches the listener.
void MeasureReconnection(TVQJMSConnection& Connection, const TVQConnectionOptions& Settings, const TOptions& Options) {
  const std::string Command = KillCommand(Connection, Settings.Brokers);
  const auto Resumption = std::make_shared<TResumptionListener>();
  Connection.SetTransportListener(Resumption);
  const auto Session = Connection.CreateSession(false, AckModeAuto);
  const auto Queue = Session->CreateQueue(Options.Queue);
  const auto Listener = std::make_shared<TCountingListener>(0);
  Session->CreateConsumer(Queue)->SetMessageListener(Listener);
  const auto Producer = Session->CreateProducer(Queue);
  const auto Message = Session->CreateTextMessage(BulkBody());
  SendUntilArrived(*Producer, Message, *Listener, 1);
  const TWorkTimer Timer;
  Kill(Command);
  if (!Resumption->Await(std::chrono::milliseconds(BrokerTimeoutMs)))
    throw std::runtime_error("no broker of the list took over within " + std::to_string(BrokerTimeoutMs / 1000) +
                             " s");
  SendUntilArrived(*Producer, Message, *Listener, 2);
  Timer.Report();
  Session->Close();
}

// The test brokers' certificates come from a CA of their own, which the system does not trust.
std::string TrustedCAFile() {
  constexpr const char* Variable = "VQSTOMP_BENCH_TLS_CA";
  const char* Path = std::getenv(Variable);
  if (Path == nullptr || *Path == '\0')
    throw std::runtime_error(std::string("a TLS broker needs ") + Variable + ", the PEM file of the CA to trust");
  return Path;
}

TVQConnectionOptions ConnectionSettings(const TOptions& Options) {
  TVQConnectionOptions Settings;
  Settings.Host = Options.Host;
  Settings.Port = Options.Port;
  if (Options.Case == TCase::SendSync || Options.Case == TCase::IdleHeartBeat || Options.Case == TCase::Reconnect) {
    Settings.AcceptVersion = "1.2";
    Settings.VirtualHost = "/";
    Settings.HeartBeatSend = Settings.HeartBeatReceive = std::chrono::milliseconds(1000);
  }
  if (Options.Case == TCase::Reconnect) {
    for (const auto& [Host, Port] : Options.Brokers) Settings.Brokers.push_back({Host, Port});
    Settings.Reconnect.Enabled = true;
    Settings.Reconnect.InitialDelay = std::chrono::milliseconds(50);
    Settings.Reconnect.MaxDelay = std::chrono::milliseconds(1000);
  }
  if (Options.TLS) {
    Settings.TLS.Enabled = true;
    Settings.TLS.CAFile = TrustedCAFile();
  }
  return Settings;
}

std::shared_ptr<TVQJMSConnection> Connect(const TVQConnectionOptions& Settings) {
  auto Connection = TVQJMSConnection::CreateConnection(Settings);
  Connection->Start();
  return Connection;
}

// Each the whole way: TCP connect (and TLS handshake), CONNECT, DISCONNECT, close.
void ConnectOneAfterAnother(const TVQConnectionOptions& Settings, int32_t Count) {
  const TWorkTimer Timer;
  for (int32_t Number = 1; Number <= Count; ++Number) Connect(Settings)->Close();
  Timer.Report();
}

void Run(const TOptions& Options) {
  const TVQConnectionOptions Settings = ConnectionSettings(Options);
  // Outside the timer in every case; before the connect case, it takes the first
  // connection's one-time costs out of the figures.
  const auto Connection = Connect(Settings);
  switch (Options.Case) {
    case TCase::SendText:
    case TCase::SendBytes:
    case TCase::Send1MiB:
    case TCase::Send16MiB:
    case TCase::SendSpread:
      SendMessages(*Connection, Options);
      break;
    case TCase::ReceiveClient:
      ReceiveAndAcknowledge(*Connection, Options);
      break;
    case TCase::ReceiveAuto:
    case TCase::Receive1MiB:
    case TCase::Receive16MiB:
    case TCase::ListenSpread:
      ReceiveWithListener(*Connection, Options);
      break;
    case TCase::SendSync:
      SendSynchronously(*Connection, Options);
      break;
    case TCase::IdleHeartBeat:
      StayIdle(Options);
      break;
    case TCase::Connect:
      ConnectOneAfterAnother(Settings, Options.Count);
      break;
    case TCase::Reconnect:
      MeasureReconnection(*Connection, Settings, Options);
      break;
  }
  Connection->Close();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    Run(ParseOptions(argc, argv));
    return 0;
  } catch (const std::exception& Error) {
    std::cerr << "Error: " << Error.what() << '\n';
    return 1;
  }
}
