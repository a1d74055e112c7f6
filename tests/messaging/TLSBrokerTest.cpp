// STOMP over TLS against the test brokers (scripts/broker.sh): messages cross intact, and
// every refusal names its cause within the connect time-out and leaves nothing behind.

#include <vqstomp/VQJMSConnection.h>

#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <filesystem>
#include <thread>

#include <vqstomp/VQConnectionOptions.h>
#include <vqstomp/VQExceptions.h>

#include "JMSTestSupport.h"
#include "TestSupport.h"
#include "support/VQGuid.h"

using namespace vq;
using namespace vq::test;
using namespace std::chrono_literals;

// Declares Broker as the address in Variable. Without it the test is skipped; under the
// test command it fails instead when every broker there sets the variable.
#define VQ_REQUIRE_BROKER_OF(Broker, Variable, EveryBrokerSetsIt)                               \
  const auto Broker##Found = ::vq::test::BrokerFromEnvironment(Variable);                       \
  if (!Broker##Found) {                                                                         \
    if ((EveryBrokerSetsIt) && ::vq::test::BrokerRequired()) FAIL() << Variable " is not set";  \
    GTEST_SKIP() << Variable " is not set (scripts/test.sh sets it)";                           \
  }                                                                                             \
  const ::vq::test::TBrokerAddress& Broker = *Broker##Found

namespace {

using TClock = std::chrono::steady_clock;

constexpr int MessageCount = 2000;
constexpr auto RefusalTimeout = 3s;
// A loaded 2-core machine, sanitizers on, may take long past any deadline.
constexpr auto Slack = 5s;
constexpr auto ClosePromptly = 3s;

std::string Numbered(int Number) { return "Message number " + std::to_string(Number); }

std::vector<std::string> AllNumbered() {
  std::vector<std::string> Bodies;
  for (int Number = 1; Number <= MessageCount; ++Number) Bodies.push_back(Numbered(Number));
  return Bodies;
}

std::string UniqueQueue() { return "/queue/vqstomp-tls-" + NewGuidText(); }

std::chrono::milliseconds Since(TClock::time_point Start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Start);
}

TVQConnectionOptions TrustingTheTestCA(const TBrokerAddress& Broker) {
  TVQConnectionOptions Options;
  Options.Host = Broker.Host;
  Options.Port = Broker.Port;
  Options.TLS.Enabled = true;
  Options.TLS.CAFile = TLSFile("ca.pem");
  return Options;
}

TVQConnectionOptions WithClientCertificate(TVQConnectionOptions Options) {
  Options.TLS.CertificateFile = TLSFile("client.pem");
  Options.TLS.KeyFile = TLSFile("client.key");
  return Options;
}

// What every broker's port that demands a client certificate accepts; the refusals
// change one thing of it.
TVQConnectionOptions Accepted(const TBrokerAddress& MutualBroker) {
  auto Options = WithClientCertificate(TrustingTheTestCA(MutualBroker));
  Options.ConnectTimeout = RefusalTimeout;
  return Options;
}

// A started connection with one session; its log is recorded from before Start.
struct TClient {
  explicit TClient(const TVQConnectionOptions& Options, uint8_t Mode = AckModeAuto)
      : Connection(TVQJMSConnection::CreateConnection(Options)) {
    Log.Attach(*Connection->GetClient().GetLogger());
    Connection->Start();
    Session = Connection->CreateSession(false, Mode);
  }
  ~TClient() { Connection->Close(); }

  TLogRecorder Log;
  std::shared_ptr<TVQJMSConnection> Connection;
  std::shared_ptr<ISession> Session;
};

// Fails the test when a fresh consumer of Queue still gets something: an acknowledgement
// that never reached the broker.
void ExpectNothingLeft(const TVQConnectionOptions& Options, const std::string& Queue) {
  TClient Again(Options, AckModeClient);
  const auto Left = Again.Session->CreateConsumer(Again.Session->CreateQueue(Queue))->Receive(1000);
  EXPECT_EQ(Left, nullptr) << "left unacknowledged: " << BodyOf(Left);
}

// The bodies, in arrival order, of MessageCount numbered texts that one connection sends
// from its own thread while another takes them by Receive, acknowledging each one, as the
// sample sender and receiver do.
std::vector<std::string> SendAndReceive(const TVQConnectionOptions& Options) {
  const std::string Queue = UniqueQueue();
  std::vector<std::string> Bodies;
  const auto Start = TClock::now();
  {
    TClient Receiver(Options, AckModeClient);
    const auto Consumer = Receiver.Session->CreateConsumer(Receiver.Session->CreateQueue(Queue));
    std::jthread Sending([&] {
      try {
        TClient Sender(Options);
        const auto Producer = Sender.Session->CreateProducer(Sender.Session->CreateQueue(Queue));
        for (int Number = 1; Number <= MessageCount; ++Number)
          Producer->Send(Sender.Session->CreateTextMessage(Numbered(Number)));
        EXPECT_TRUE(Sender.Log.Lines().empty()) << Sender.Log.Lines().front();
      } catch (const std::exception& Error) {
        ADD_FAILURE() << "sending: " << Error.what();
      }
    });
    while (Bodies.size() < MessageCount) {
      const auto Message = Consumer->Receive(20000);
      if (!Message) break;
      Bodies.push_back(BodyOf(Message));
      Message->Acknowledge();
    }
    Sending.join();
    ::testing::Test::RecordProperty("RoundTripMilliseconds", static_cast<int>(Since(Start).count()));
    EXPECT_EQ(Consumer->Receive(500), nullptr) << "more than was sent";
    EXPECT_TRUE(Receiver.Log.Lines().empty()) << Receiver.Log.Lines().front();
  }
  ExpectNothingLeft(Options, Queue);
  return Bodies;
}

// Records and acknowledges each message on the thread that delivers it.
class TAcknowledgingListener : public TRecordingListener {
public:
  void OnMessage(const std::shared_ptr<IMessage>& Message) override {
    TRecordingListener::OnMessage(Message);
    Message->Acknowledge();
  }
};

// The same through one connection, both ways at once over one TLS stream: its listener
// acknowledges on the read thread while the test's thread sends.
std::vector<std::string> SendToOwnListener(const TVQConnectionOptions& Options) {
  const std::string Queue = UniqueQueue();
  const auto Listener = std::make_shared<TAcknowledgingListener>();
  const auto Start = TClock::now();
  {
    TClient Client(Options, AckModeClient);
    const auto Destination = Client.Session->CreateQueue(Queue);
    Client.Session->CreateConsumer(Destination)->SetMessageListener(Listener);
    const auto Producer = Client.Session->CreateProducer(Destination);
    for (int Number = 1; Number <= MessageCount; ++Number)
      Producer->Send(Client.Session->CreateTextMessage(Numbered(Number)));
    EXPECT_TRUE(WaitUntil([&] { return Listener->Count() >= MessageCount; }, 120s));
    ::testing::Test::RecordProperty("RoundTripMilliseconds", static_cast<int>(Since(Start).count()));
    EXPECT_TRUE(Client.Log.Lines().empty()) << Client.Log.Lines().front();
  }
  ExpectNothingLeft(Options, Queue);
  return Listener->Texts();
}

size_t OpenSockets() {
  size_t Count = 0;
  for (const auto& Entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code Gone;  // the iterator's own descriptor is listed, and closed by now
    if (std::filesystem::read_symlink(Entry.path(), Gone).string().starts_with("socket:")) ++Count;
  }
  return Count;
}

// How Start failed, how long it took, and what the connection logged meanwhile.
struct TRefusal {
  std::exception_ptr Error;
  std::string Message = "no exception";
  std::chrono::milliseconds Took{};
  std::vector<std::string> Logged;

  template <typename TException>
  bool Is() const {
    try {
      if (Error) std::rethrow_exception(Error);
    } catch (const TException&) {
      return true;
    } catch (...) {
    }
    return false;
  }
};

// Starts a connection made with Options, expecting a refusal; checks that Close then
// returns promptly and that no socket is left open.
TRefusal Refusal(const TVQConnectionOptions& Options) {
  const size_t SocketsBefore = OpenSockets();
  auto Connection = TVQJMSConnection::CreateConnection(Options);
  TLogRecorder Log;
  Log.Attach(*Connection->GetClient().GetLogger());
  TRefusal Refused;
  const auto Start = TClock::now();
  try {
    Connection->Start();
  } catch (const std::exception& Error) {
    Refused.Error = std::current_exception();
    Refused.Message = Error.what();
  }
  Refused.Took = Since(Start);
  const auto Closing = TClock::now();
  try {
    Connection->Close();
  } catch (const EVQStompClientAlreadyDisconnectedError&) {
    // As after any Start that never connected.
  }
  EXPECT_LT(Since(Closing), ClosePromptly) << "closing after: " << Refused.Message;
  Connection.reset();
  EXPECT_EQ(OpenSockets(), SocketsBefore) << "left open after: " << Refused.Message;
  Refused.Logged = Log.Lines();
  return Refused;
}

// Fails the test unless Refused is an EVQTLSError that came within the connect time-out.
void ExpectTLSError(const TRefusal& Refused) {
  EXPECT_TRUE(Refused.Is<EVQTLSError>()) << "not an EVQTLSError: " << Refused.Message;
  EXPECT_LT(Refused.Took, RefusalTimeout + Slack) << Refused.Message;
}

// Fails the test unless a connection made with Options carries a message both ways.
void ExpectWorking(const TVQConnectionOptions& Options) {
  TClient Client(Options);
  const auto Queue = Client.Session->CreateQueue(UniqueQueue());
  const auto Consumer = Client.Session->CreateConsumer(Queue);
  Client.Session->CreateProducer(Queue)->Send(Client.Session->CreateTextMessage(std::string("still working")));
  EXPECT_EQ(BodyOf(Consumer->Receive(20000)), "still working");
}

std::string Text(const TBrokerAddress& Broker) { return Broker.Host + ":" + std::to_string(Broker.Port); }

}  // namespace

TEST(TLSBroker, MessagesCrossThePortThatAsksForNoCertificate) {
  VQ_REQUIRE_BROKER_OF(Broker, "VQSTOMP_BROKER_TLS", false);
  EXPECT_EQ(SendAndReceive(TrustingTheTestCA(Broker)), AllNumbered());
}

TEST(TLSBroker, MessagesCrossWithAClientCertificateFromAnSslURI) {
  VQ_REQUIRE_BROKER_OF(Broker, "VQSTOMP_BROKER_MUTUAL_TLS", true);
  EXPECT_TRUE(TVQConnectionOptions::FromURI("stomp+ssl://" + Text(Broker)).TLS.Enabled);
  auto Options = TVQConnectionOptions::FromURI("ssl://" + Text(Broker));
  ASSERT_TRUE(Options.TLS.Enabled);
  Options.TLS.CAFile = TLSFile("ca.pem");
  EXPECT_EQ(SendAndReceive(WithClientCertificate(Options)), AllNumbered());
}

TEST(TLSBroker, MessagesCrossBothWaysAtOnceWithAnEncryptedKey) {
  VQ_REQUIRE_BROKER_OF(Broker, "VQSTOMP_BROKER_MUTUAL_TLS", true);
  auto Options = WithClientCertificate(TrustingTheTestCA(Broker));
  Options.TLS.KeyFile = TLSFile("client-encrypted.key");
  Options.TLS.KeyPassword = "client-secret";
  EXPECT_EQ(SendToOwnListener(Options), AllNumbered());
}

TEST(TLSBroker, UntrustedCertificateIsRefused) {
  VQ_REQUIRE_BROKER_OF(Broker, "VQSTOMP_BROKER_MUTUAL_TLS", true);
  const std::string Expected = "The certificate of " + Text(Broker) + " is not trusted (";
  const std::string Advice = ": CAFile or CADirectory must hold the CA that signed it";
  for (const std::string& CAFile : {TLSFile("rogue-ca.pem"), std::string()}) {
    SCOPED_TRACE(CAFile.empty() ? "the system's trust store" : CAFile);
    auto Options = Accepted(Broker);
    Options.TLS.CAFile = CAFile;
    const auto Refused = Refusal(Options);
    EXPECT_TRUE(Refused.Message.starts_with(Expected)) << Refused.Message;
    EXPECT_TRUE(Refused.Message.ends_with(Advice)) << Refused.Message;
    ExpectTLSError(Refused);
    ExpectWorking(Accepted(Broker));
  }
}

TEST(TLSBroker, CertificateIsCheckedAgainstServerName) {
  VQ_REQUIRE_BROKER_OF(Broker, "VQSTOMP_BROKER_MUTUAL_TLS", true);
  auto Options = Accepted(Broker);
  Options.TLS.ServerName = "other.example";
  const auto Refused = Refusal(Options);
  EXPECT_TRUE(Refused.Message.starts_with("The certificate of " + Text(Broker) + " is not for \"other.example\" ("))
      << Refused.Message;
  ExpectTLSError(Refused);
  // The broker's certificate names localhost too: a name, not only the address, is matched.
  Options.TLS.ServerName = "localhost";
  ExpectWorking(Options);
}

TEST(TLSBroker, MissingClientCertificateIsNamedAsTheLikelyCause) {
  VQ_REQUIRE_BROKER_OF(Broker, "VQSTOMP_BROKER_MUTUAL_TLS", true);
  auto Options = Accepted(Broker);
  Options.TLS.CertificateFile.clear();
  Options.TLS.KeyFile.clear();
  const auto Refused = Refusal(Options);
  EXPECT_TRUE(Refused.Message.starts_with(Text(Broker) + " refused the TLS connection (")) << Refused.Message;
  EXPECT_TRUE(Refused.Message.ends_with("): it may want a client certificate (CertificateFile, KeyFile)"))
      << Refused.Message;
  ExpectTLSError(Refused);
  ExpectWorking(Accepted(Broker));
}

// ActiveMQ keeps silent at a ClientHello on its plain port, RabbitMQ closes at once: either
// way Start ends by the connect time-out and says why.
TEST(TLSBroker, TLSToThePlainPortEndsWithinTheConnectTimeout) {
  VQ_REQUIRE_BROKER_OF(Plain, "VQSTOMP_BROKER", true);
  VQ_REQUIRE_BROKER_OF(Mutual, "VQSTOMP_BROKER_MUTUAL_TLS", true);
  const auto Refused = Refusal(Accepted(Plain));
  const std::string Silent = "No TLS answer from " + Text(Plain) + " within the connect time-out of " +
                             std::to_string(std::chrono::milliseconds(RefusalTimeout).count()) + " ms";
  const std::string Closed = Text(Plain) +
                             " closed the connection during the TLS handshake: is it a plain STOMP port, or does it "
                             "refuse this client?";
  if (Refused.Is<EIdTimeout>()) {
    EXPECT_EQ(Refused.Message, Silent);
    EXPECT_GE(Refused.Took, RefusalTimeout - 100ms) << "ended before the time-out";
  } else {
    ExpectTLSError(Refused);
    EXPECT_EQ(Refused.Message, Closed);
  }
  EXPECT_LT(Refused.Took, RefusalTimeout + Slack);
  ExpectWorking(Accepted(Mutual));
}

TEST(TLSBroker, PlainSTOMPToATLSPortIsToldToUseTLS) {
  VQ_REQUIRE_BROKER_OF(Mutual, "VQSTOMP_BROKER_MUTUAL_TLS", true);
  std::vector<TBrokerAddress> Ports{Mutual};
  if (const auto Other = BrokerFromEnvironment("VQSTOMP_BROKER_TLS")) Ports.push_back(*Other);
  for (const auto& Port : Ports) {
    SCOPED_TRACE(Text(Port));
    TVQConnectionOptions Options;
    Options.Host = Port.Host;
    Options.Port = Port.Port;
    Options.ConnectTimeout = RefusalTimeout;
    const auto Refused = Refusal(Options);
    EXPECT_EQ(Refused.Message, Text(Port) + " answered in TLS: connect to it with TLS (ssl://)");
    ExpectTLSError(Refused);
    ExpectWorking(Accepted(Mutual));
  }
}

TEST(TLSBroker, WrongKeyPasswordIsRefusedWithoutShowingIt) {
  VQ_REQUIRE_BROKER_OF(Broker, "VQSTOMP_BROKER_MUTUAL_TLS", true);
  const std::string Expected = "Cannot load the private key from \"" + TLSFile("client-encrypted.key") +
                               "\" (is KeyPassword right?): ";
  for (const std::string Password : {"client-secreT", ""}) {
    SCOPED_TRACE("KeyPassword \"" + Password + "\"");
    auto Options = Accepted(Broker);
    Options.TLS.KeyFile = TLSFile("client-encrypted.key");
    Options.TLS.KeyPassword = Password;
    const auto Refused = Refusal(Options);
    EXPECT_TRUE(Refused.Message.starts_with(Expected)) << Refused.Message;
    if (!Password.empty()) {
      EXPECT_EQ(Refused.Message.find(Password), std::string::npos) << Refused.Message;
      for (const auto& Line : Refused.Logged) EXPECT_EQ(Line.find(Password), std::string::npos) << Line;
    }
    ExpectTLSError(Refused);
    ExpectWorking(Accepted(Broker));
  }
}

TEST(TLSBroker, WithoutVerificationAnyCertificateIsTakenAndEachConnectionWarnsOnce) {
  VQ_REQUIRE_BROKER_OF(Broker, "VQSTOMP_BROKER_MUTUAL_TLS", true);
  auto Options = Accepted(Broker);
  Options.TLS.CAFile.clear();
  Options.TLS.ServerName = "other.example";
  Options.TLS.Verify = false;
  const auto Warnings = [](const TLogRecorder& Log) {
    size_t Count = 0;
    for (const auto& Line : Log.Lines())
      if (Line.find("TLS verification is off") != std::string::npos) {
        EXPECT_TRUE(Line.starts_with(std::to_string(llWarn) + " ")) << Line;
        ++Count;
      }
    return Count;
  };
  {
    TClient Client(Options);
    Client.Connection->Stop();
    Client.Connection->Start();
    Client.Connection->GetClient().Disconnect();
    ASSERT_FALSE(Client.Connection->GetClient().IsConnected());
    Client.Connection->Start();
    ASSERT_TRUE(Client.Connection->GetClient().IsConnected()) << "connected a second time";
    const auto Queue = Client.Session->CreateQueue(UniqueQueue());
    const auto Consumer = Client.Session->CreateConsumer(Queue);
    Client.Session->CreateProducer(Queue)->Send(Client.Session->CreateTextMessage(std::string("unverified")));
    EXPECT_EQ(BodyOf(Consumer->Receive(20000)), "unverified");
    EXPECT_EQ(Warnings(Client.Log), 1u);
  }
  TClient Other(Options);
  EXPECT_EQ(Warnings(Other.Log), 1u) << "each connection warns";
}
