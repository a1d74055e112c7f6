// The TLS adapter against scripted peers behind a TLS front: the same frames as over
// TCP, and each refusal named for what it is, within the connect time-out.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <vqstomp/VQConnectionOptions.h>
#include <vqstomp/VQConsumerID.h>
#include <vqstomp/VQJMSBytesMessage.h>
#include <vqstomp/VQJMSConnection.h>

#include "JMSTestSupport.h"
#include "TLSFront.h"
#include "TestSupport.h"
#include "transport/VQAdapterRegistry.h"

using namespace vq;
using namespace vq::test;
using namespace std::string_literals;
using TClock = std::chrono::steady_clock;

namespace {

TVQConnectionOptions TLSOptions(int32_t Port) {
  TVQConnectionOptions Options;
  Options.Host = "127.0.0.1";
  Options.Port = Port;
  Options.ConnectTimeout = std::chrono::milliseconds(5000);
  Options.TLS.Enabled = true;
  Options.TLS.CAFile = TLSFile("ca.pem");
  return Options;
}

// The front serving the certificate and key of that name.
TTLSIdentity ServedAs(const std::string& Name) {
  TTLSIdentity Identity;
  Identity.Certificate = TLSFile(Name + ".pem");
  Identity.Key = TLSFile(Name + ".key");
  return Identity;
}

// What Start raised (of TException), and how long it took.
template <typename TException>
std::pair<std::string, TClock::duration> StartFailure(const TVQConnectionOptions& Options, TLogRecorder* Log = nullptr) {
  const auto Connection = TVQJMSConnection::CreateConnection(Options);
  if (Log) Log->Attach(*Connection->GetClient().GetLogger());
  const auto Start = TClock::now();
  std::string Error = ErrorOf<TException>([&] { Connection->Start(); });
  return {Error, TClock::now() - Start};
}

// Starts a connection to a TLS front of a peer that answers CONNECT, and closes it.
void ExpectConnects(const TVQConnectionOptions& Options, TTLSIdentity Identity = {}, TLogRecorder* Log = nullptr) {
  TScriptedPeer Peer;
  Peer.SetAutoConnected(true);
  TTLSFront Front(Peer.Port(), Identity);
  TVQConnectionOptions Through = Options;
  Through.Port = Front.Port();
  const auto Connection = TVQJMSConnection::CreateConnection(Through);
  if (Log) Log->Attach(*Connection->GetClient().GetLogger());
  EXPECT_NO_THROW(Connection->Start());
  Connection->Close();
  EXPECT_TRUE(Peer.WaitForReceived("DISCONNECT"));
}

std::string Prefix(const std::string& Text, size_t Length) { return Text.substr(0, Length); }

}  // namespace

TEST(VQCommAdapterTLS, IsRegisteredBesideTheTcpAdapter) {
  EXPECT_EQ(AdapterCount(), 2);
  EXPECT_EQ(CreateDefaultAdapter()->GetName(), "TVQCommAdapterIndy");
  EXPECT_EQ(CreateTLSAdapter()->GetName(), "TVQCommAdapterTLS");
}

// The peer sees the very bytes a TCP connection sends; frames larger than a TLS record
// and many frames in one record both arrive whole and in order, by Receive and by listener.
TEST(VQCommAdapterTLS, CarriesTheSameFramesAsTcp) {
  std::string Sent[2];
  for (const auto Transport : {TPeerTransport::Plain, TPeerTransport::TLS}) {
    SCOPED_TRACE(::testing::PrintToString(Transport));
    TPeerConnection Peer(Transport);
    auto Session = Peer.Connection->CreateSession(false, AckModeClient);
    auto Consumer = Session->CreateConsumer(Session->CreateQueue("/queue/a"));
    auto Producer = Session->CreateProducer(Session->CreateQueue("/queue/b"));
    auto Big = Session->CreateBytesMessage();
    Big->SetContent(std::string(1024 * 1024, 'x') + "end");
    Producer->Send(Big);
    ASSERT_TRUE(Peer.Peer.WaitForReceived("end"));

    const std::string Id = ConsumerIDOf(Consumer);
    std::string Many;
    for (int Number = 0; Number < 200; ++Number) Many += MessageFrame(Id, "small " + std::to_string(Number));
    Peer.Peer.Send(MessageFrame(Id, std::string(200000, 'y')) + Many);
    EXPECT_EQ(BodyOf(Consumer->Receive(5000)).size(), 200000u);
    for (int Number = 0; Number < 200; ++Number) {
      auto Message = Consumer->Receive(5000);
      ASSERT_EQ(BodyOf(Message), "small " + std::to_string(Number));
      Message->Acknowledge();
    }
    auto Listener = std::make_shared<TRecordingListener>();
    Consumer->SetMessageListener(Listener);
    Peer.Peer.Send(Many);
    EXPECT_TRUE(WaitUntil([&] { return Listener->Count() == 200; }));
    EXPECT_EQ(Listener->Texts().back(), "small 199");
    Peer.Connection->Close();
    ASSERT_TRUE(Peer.Peer.WaitForClientClose());
    Sent[Transport == TPeerTransport::TLS] = Peer.Peer.Received();
  }
  EXPECT_EQ(Sent[0].size(), Sent[1].size());
  EXPECT_EQ(Sent[0].substr(0, 9), Sent[1].substr(0, 9));
}

// Untrusted, expired, for another name, or trusted by nobody the system knows: each
// refused with its reason, well within the connect time-out.
TEST(VQCommAdapterTLS, RefusesBrokersItCannotTrust) {
  struct TCase {
    std::string Certificate;
    std::string CAFile;
    std::string Expected;
  };
  const TCase Cases[] = {
      {"rogue", TLSFile("ca.pem"), " is not trusted (unable to get local issuer certificate)"},
      {"broker", "", " is not trusted"},
      {"expired", TLSFile("ca.pem"), " has expired (certificate has expired)"},
      {"other", TLSFile("ca.pem"), " is not for \"127.0.0.1\" (IP address mismatch)"},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Certificate);
    TScriptedPeer Peer;
    TTLSFront Front(Peer.Port(), ServedAs(Case.Certificate));
    auto Options = TLSOptions(Front.Port());
    Options.TLS.CAFile = Case.CAFile;
    const auto [Error, Took] = StartFailure<EVQTLSError>(Options);
    const std::string Of = "The certificate of 127.0.0.1:" + std::to_string(Front.Port());
    EXPECT_EQ(Prefix(Error, Of.size() + Case.Expected.size()), Of + Case.Expected) << Error;
    EXPECT_LT(Took, std::chrono::seconds(5));
  }
  TVQConnectionOptions Named = TLSOptions(0);
  Named.TLS.ServerName = "other.example";
  ExpectConnects(Named, ServedAs("other"));
  Named.Host = "localhost";
  Named.TLS.ServerName.clear();
  ExpectConnects(Named);
}

// Without verification anything connects, and the connection says so once.
TEST(VQCommAdapterTLS, WarnsOnceWhenVerificationIsOff) {
  TVQConnectionOptions Options = TLSOptions(0);
  Options.TLS.CAFile.clear();
  Options.TLS.Verify = false;
  TLogRecorder Log;
  ExpectConnects(Options, ServedAs("expired"), &Log);
  size_t Warnings = 0;
  for (const auto& Line : Log.Lines()) Warnings += Line.find("TLS verification is off") != std::string::npos;
  EXPECT_EQ(Warnings, 1u);
}

// A TLS client at a plain port and a plain client at a TLS port are told which it is.
TEST(VQCommAdapterTLS, TellsWhenThePortSpeaksTheOtherProtocol) {
  {
    TScriptedPeer Silent;
    auto Options = TLSOptions(Silent.Port());
    Options.ConnectTimeout = std::chrono::milliseconds(1000);
    const auto [Error, Took] = StartFailure<EIdTimeout>(Options);
    EXPECT_EQ(Error, "No TLS answer from 127.0.0.1:" + std::to_string(Silent.Port()) +
                         " within the connect time-out of 1000 ms");
    EXPECT_GE(Took, std::chrono::milliseconds(900));
    EXPECT_LT(Took, std::chrono::seconds(5));
  }
  for (const bool Answers : {false, true}) {
    TScriptedPeer Plain;
    std::thread Broker([&] {
      ASSERT_TRUE(Plain.WaitForReceived(std::string_view("\x16\x03", 2)));
      if (Answers) Plain.Send("ERROR\nmessage:Unknown STOMP action\n\n\0"s);
      Plain.Close();
    });
    const std::string Error = StartFailure<EVQTLSError>(TLSOptions(Plain.Port())).first;
    Broker.join();
    const std::string Address = "127.0.0.1:" + std::to_string(Plain.Port());
    EXPECT_EQ(Error.find(Address + (Answers ? " does not speak TLS (wrong version number)"
                                            : " closed the connection during the TLS handshake")),
              0u)
        << Error;
  }
  // What ActiveMQ and RabbitMQ answer to CONNECT on their TLS ports: a fatal
  // unexpected_message alert, then the end.
  TScriptedPeer Secure;
  std::thread Broker([&] {
    ASSERT_TRUE(Secure.WaitForReceived("CONNECT"));
    Secure.Send("\x15\x03\x03\x00\x02\x02\x0a"s);
    Secure.Close();
  });
  auto Options = TLSOptions(Secure.Port());
  Options.TLS.Enabled = false;
  const std::string Error = StartFailure<EVQCommError>(Options).first;
  Broker.join();
  EXPECT_EQ(Error, "127.0.0.1:" + std::to_string(Secure.Port()) + " answered in TLS: connect to it with TLS (ssl://)");
}

// A broker that demands a client certificate gets one, from a plain or an encrypted key;
// without one, or with one it does not trust, the refusal says so. Pass phrases never show.
TEST(VQCommAdapterTLS, PresentsTheClientCertificateWhenAsked) {
  const TTLSIdentity Demanding{TLSFile("broker.pem"), TLSFile("broker.key"), TLSFile("ca.pem")};
  auto Options = TLSOptions(0);
  const auto RefusedBy = [&](const TVQConnectionOptions& Client) {
    TScriptedPeer Peer;
    TTLSFront Front(Peer.Port(), Demanding);
    TVQConnectionOptions Through = Client;
    Through.Port = Front.Port();
    return StartFailure<EVQTLSError>(Through).first;
  };
  EXPECT_NE(RefusedBy(Options).find("refused the TLS connection"), std::string::npos);
  EXPECT_NE(RefusedBy(Options).find("it may want a client certificate (CertificateFile, KeyFile)"), std::string::npos);

  Options.TLS.CertificateFile = TLSFile("rogue.pem");
  Options.TLS.KeyFile = TLSFile("rogue.key");
  EXPECT_NE(RefusedBy(Options).find("refused this client's certificate"), std::string::npos);

  Options.TLS.CertificateFile = TLSFile("client.pem");
  Options.TLS.KeyFile = TLSFile("client.key");
  ExpectConnects(Options, Demanding);
  Options.TLS.KeyFile = TLSFile("client-encrypted.key");
  Options.TLS.KeyPassword = "client-secret";
  ExpectConnects(Options, Demanding);

  Options.TLS.KeyPassword = "not-the-secret";
  TLogRecorder Log;
  const std::string Error = StartFailure<EVQTLSError>(Options, &Log).first;
  EXPECT_EQ(Error.find("Cannot load the private key from \"" + TLSFile("client-encrypted.key") + "\""), 0u) << Error;
  EXPECT_EQ(Error.find("not-the-secret"), std::string::npos);
  EXPECT_FALSE(Log.Contains("not-the-secret"));

  Options.TLS.CAFile = "/nonexistent/ca.pem";
  EXPECT_EQ(StartFailure<EVQTLSError>(Options).first.find("Cannot load the CA certificates from \"/nonexistent/ca.pem\""),
            0u);
}
