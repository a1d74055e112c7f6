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
// ADDRESS is HOST:PORT, or ssl://HOST:PORT for TLS trusting the CA file that
// VQSTOMP_BENCH_TLS_CA names.
// Prints "elapsed=<s> cpu=<s>" for the work itself: sends end with the broker's receipt
// for the last message (each message's, when synchronous), receives with the last
// message handled.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <vqstomp/VQJMSConnection.h>
#include <vqstomp/VQStompFrame.h>

#include "BenchSupport.h"
#include "support/VQUnicode.h"
#include "transport/VQCommInterfaces.h"

using namespace vq;
using namespace vq::bench;

namespace {

// Numbered texts are made per message, the fixed bulk text once; a large body is made
// once too, in the one message sent again and again, so that only the library's copies
// weigh on memory.
class TMessageMaker {
public:
  TMessageMaker(ISession& Session, TCase Case)
      : FSession(Session), FCase(Case), FBulk(Utf8ToUtf16(BulkBody())), FLarge(LargeMessage(Session, Case)) {}
  std::shared_ptr<IMessage> Make(int32_t Number) const {
    if (FLarge) return FLarge;
    if (NumberedTexts(FCase)) return FSession.CreateTextMessage(Utf8ToUtf16(TextBody(Number)));
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
  const std::u16string FBulk;
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
  TCountingListener(int32_t Expected, size_t BodySize) : FExpected(Expected), FBodySize(BodySize) {}
  void OnMessage(const std::shared_ptr<IMessage>& Message) override {
    if (FBodySize != 0 && !HasBodySize(*Message)) ++FWrongBodies;
    if (++FCount == FExpected) FDone.set_value();
  }
  std::future<void> Done() { return FDone.get_future(); }
  int32_t WrongBodies() const { return FWrongBodies; }

private:
  bool HasBodySize(const IMessage& Message) const {
    const auto* Bytes = dynamic_cast<const IBytesMessage*>(&Message);
    return Bytes != nullptr && Bytes->GetContent().size() == FBodySize;
  }

  const int32_t FExpected;
  const size_t FBodySize;
  std::atomic<int32_t> FCount{0};
  std::atomic<int32_t> FWrongBodies{0};
  std::promise<void> FDone;
};

void ReceiveWithListener(TVQJMSConnection& Connection, const TOptions& Options) {
  const auto Session = Connection.CreateSession(false, AckModeAuto);
  const auto Listener = std::make_shared<TCountingListener>(Options.Count, LargeBodySize(Options.Case));
  auto Done = Listener->Done();
  const auto Queues = QueueNames(Options);
  const TWorkTimer Timer;
  for (const auto& Queue : Queues) Session->CreateConsumer(Session->CreateQueue(Queue))->SetMessageListener(Listener);
  if (Done.wait_for(std::chrono::milliseconds(BrokerTimeoutMs)) != std::future_status::ready)
    throw std::runtime_error("the listener did not get every message");
  if (Listener->WrongBodies() > 0)
    throw std::runtime_error(std::to_string(Listener->WrongBodies()) + " bodies were not of " +
                             std::to_string(LargeBodySize(Options.Case)) + " bytes");
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
  if (Options.Case == TCase::SendSync || Options.Case == TCase::IdleHeartBeat) {
    Settings.AcceptVersion = "1.2";
    Settings.VirtualHost = "/";
    Settings.HeartBeatSend = Settings.HeartBeatReceive = std::chrono::milliseconds(1000);
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
