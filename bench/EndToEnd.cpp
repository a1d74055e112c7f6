// One case of the end-to-end comparison with the library, against a real broker:
//   vqstomp_e2e_bench send-text|send-bytes|receive-client|receive-auto COUNT QUEUE [ADDRESS]
//   vqstomp_e2e_bench send-sync COUNT QUEUE [ADDRESS]       (STOMP 1.2, heart-beats 1000,1000)
//   vqstomp_e2e_bench idle-heartbeat SECONDS QUEUE [ADDRESS] (the same, idle)
//   vqstomp_e2e_bench connect COUNT QUEUE [ADDRESS]         (COUNT connections, one after the other)
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

#include <vqstomp/VQJMSConnection.h>
#include <vqstomp/VQStompFrame.h>

#include "BenchSupport.h"
#include "support/VQUnicode.h"
#include "transport/VQCommInterfaces.h"

using namespace vq;
using namespace vq::bench;

namespace {

// Numbered texts are made per message, the fixed bulk text once.
class TMessageMaker {
public:
  TMessageMaker(ISession& Session, TCase Case) : FSession(Session), FCase(Case), FBulk(Utf8ToUtf16(BulkBody())) {}
  std::shared_ptr<IMessage> Make(int32_t Number) const {
    if (FCase != TCase::SendBytes) return FSession.CreateTextMessage(Utf8ToUtf16(TextBody(Number)));
    return FSession.CreateTextMessage(FBulk);
  }

private:
  ISession& FSession;
  const TCase FCase;
  const std::u16string FBulk;
};

void AwaitReceipt(TVQJMSClient& Client) {
  bool Arrived = false;
  Client.SetOnReceiptFrame([&Arrived](TVQStompCustomClient&, IStompFrame& Frame) {
    Arrived = Arrived || Frame.GetHeader("receipt-id") == LastReceipt;
  });
  while (!Arrived)
    if (!Client.GetCommAdapter()->ReceiveFrame(BrokerTimeoutMs)) throw std::runtime_error("no receipt from the broker");
}

// Every message but the last through a producer, the last with a receipt to wait for.
void SendMessages(TVQJMSConnection& Connection, const TOptions& Options) {
  const auto Session = Connection.CreateSession(false, AckModeAuto);
  const auto Producer = Session->CreateProducer(Session->CreateQueue(Options.Queue));
  const TMessageMaker Maker(*Session, Options.Case);
  const TWorkTimer Timer;
  for (int32_t Number = 1; Number < Options.Count; ++Number) Producer->Send(Maker.Make(Number));
  Connection.GetClient().SendMessage(Maker.Make(Options.Count), Options.Queue, LastReceipt);
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

class TCountingListener : public IMessageListener {
public:
  explicit TCountingListener(int32_t Expected) : FExpected(Expected) {}
  void OnMessage(const std::shared_ptr<IMessage>&) override {
    if (++FCount == FExpected) FDone.set_value();
  }
  std::future<void> Done() { return FDone.get_future(); }

private:
  const int32_t FExpected;
  std::atomic<int32_t> FCount{0};
  std::promise<void> FDone;
};

void ReceiveWithListener(TVQJMSConnection& Connection, const TOptions& Options) {
  const auto Session = Connection.CreateSession(false, AckModeAuto);
  const auto Listener = std::make_shared<TCountingListener>(Options.Count);
  auto Done = Listener->Done();
  const TWorkTimer Timer;
  Session->CreateConsumer(Session->CreateQueue(Options.Queue))->SetMessageListener(Listener);
  if (Done.wait_for(std::chrono::milliseconds(BrokerTimeoutMs)) != std::future_status::ready)
    throw std::runtime_error("the listener did not get every message");
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
      SendMessages(*Connection, Options);
      break;
    case TCase::ReceiveClient:
      ReceiveAndAcknowledge(*Connection, Options);
      break;
    case TCase::ReceiveAuto:
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
