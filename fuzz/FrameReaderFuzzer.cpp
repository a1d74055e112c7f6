// Bytes from a broker reach the frame reader through a real socket, cut into pieces as
// the input's first byte says, and through TLS when its top bit is set: every frame the
// reader finds must be one that Parse takes or refuses with the library's own exception,
// and nothing may crash or hang.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include <vqstomp/VQStompFrame.h>

#include "LoopbackListener.h"
#include "stomp/VQStompFrameReader.h"
#include "transport/VQCommAdapterIndy.h"
#ifdef VQSTOMP_WITH_TLS
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "transport/VQCommAdapterTLS.h"
#endif

namespace {

// A listening socket on loopback, made once per process.
int Listener(int32_t& Port) {
  static int Socket = -1;
  static int32_t Bound = 0;
  if (Socket < 0) {
    Socket = vq::test::ListenOnLoopback(Bound);
  }
  Port = Bound;
  return Socket;
}

// How the fake broker's bytes leave it: as they are, or each piece as a TLS record.
class TBrokerLink {
public:
  TBrokerLink(int Connection, bool Secure);
  ~TBrokerLink();
  bool Send(std::string_view Bytes);

private:
  const int FConnection;
#ifdef VQSTOMP_WITH_TLS
  SSL* FSsl = nullptr;
#endif
};

#ifdef VQSTOMP_WITH_TLS
// A self-signed identity made once: the client does not verify it.
SSL_CTX* ServerContext() {
  static SSL_CTX* const Context = [] {
    EVP_PKEY* Key = EVP_EC_gen("P-256");
    X509* Certificate = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(Certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(Certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(Certificate), 24 * 3600);
    X509_set_pubkey(Certificate, Key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(Certificate), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("fuzz"), -1, -1, 0);
    X509_set_issuer_name(Certificate, X509_get_subject_name(Certificate));
    X509_sign(Certificate, Key, EVP_sha256());
    SSL_CTX* Made = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(Made, Certificate);
    SSL_CTX_use_PrivateKey(Made, Key);
    return Made;
  }();
  return Context;
}
#endif

TBrokerLink::TBrokerLink(int Connection, bool Secure) : FConnection(Connection) {
#ifdef VQSTOMP_WITH_TLS
  if (!Secure) return;
  FSsl = SSL_new(ServerContext());
  SSL_set_fd(FSsl, Connection);
  if (SSL_accept(FSsl) == 1) return;
  SSL_free(FSsl);
  FSsl = nullptr;
  shutdown(Connection, SHUT_RDWR);
#else
  (void)Secure;
#endif
}

TBrokerLink::~TBrokerLink() {
#ifdef VQSTOMP_WITH_TLS
  if (FSsl) {
    SSL_shutdown(FSsl);
    SSL_free(FSsl);
  }
#endif
  close(FConnection);
}

bool TBrokerLink::Send(std::string_view Bytes) {
#ifdef VQSTOMP_WITH_TLS
  if (FSsl) return SSL_write(FSsl, Bytes.data(), static_cast<int>(Bytes.size())) > 0;
#endif
  return send(FConnection, Bytes.data(), Bytes.size(), MSG_NOSIGNAL) >= 0;
}

std::unique_ptr<vq::TVQCommAdapterIndy> MakeAdapter(bool Secure) {
#ifdef VQSTOMP_WITH_TLS
  if (Secure) {
    auto Adapter = std::make_unique<vq::TVQCommAdapterTLS>();
    vq::TVQTLSOptions Options;
    Options.Verify = false;
    Adapter->SetTLSOptions(Options);
    return Adapter;
  }
#endif
  (void)Secure;
  return std::make_unique<vq::TVQCommAdapterIndy>();
}

// Plays the broker: answers with CONNECTED, sends the input in pieces, then closes.
void Serve(int Socket, std::string_view Input, size_t Piece, bool Secure) {
  // TLS writes with write(): a client that went away must not end the run with SIGPIPE.
  sigset_t Pipe;
  sigemptyset(&Pipe);
  sigaddset(&Pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &Pipe, nullptr);
  const int Connection = accept(Socket, nullptr, nullptr);
  if (Connection < 0) return;
  TBrokerLink Link(Connection, Secure);
  if (!Link.Send(std::string_view("CONNECTED\n\n\0", 12))) return;
  for (size_t At = 0; At < Input.size(); At += Piece)
    if (!Link.Send(Input.substr(At, Piece))) break;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  const size_t Piece = Data[0] % 64 + 1;
  const bool Secure = (Data[0] & 0x80) != 0;
  const std::string_view Input(reinterpret_cast<const char*>(Data) + 1, Size - 1);
  int32_t Port = 0;
  const int Socket = Listener(Port);
  std::thread Broker(Serve, Socket, Input, Piece, Secure);
  vq::TVQStompFrameReader Reader(64 * 1024);
  const auto Owned = MakeAdapter(Secure);
  vq::TVQCommAdapterIndy& Adapter = *Owned;
  Adapter.SetFrameBoundary(&Reader);
  Adapter.SetHost("127.0.0.1");
  Adapter.SetPort(Port);
  Adapter.SetConnectTimeout(2000);
  Adapter.SetOnDataAvailable([](vq::IStompCommAdapter&, std::string_view Frame) {
    try {
      (void)vq::TVQStompFrame::Parse(Frame);
    } catch (const vq::Exception&) {
    }
  });
  try {
    Adapter.Connect();
    while (Adapter.ReceiveFrame(2000)) {
    }
  } catch (const vq::Exception&) {
  }
  Adapter.Disconnect();
  Broker.join();
  return 0;
}
