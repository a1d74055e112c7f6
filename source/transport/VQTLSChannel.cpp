#include "transport/VQTLSChannel.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <utility>

#include <vqstomp/VQExceptions.h>

namespace vq {

namespace {

// OpenSSL's socket BIO writes with write(), which raises SIGPIPE on a connection the peer
// closed; this one sends with MSG_NOSIGNAL and never blocks.
struct TSocketState {
  int Socket;
  bool Ended = false;
};

TSocketState& StateOf(BIO* Bio) { return *static_cast<TSocketState*>(BIO_get_data(Bio)); }

int WriteToSocket(BIO* Bio, const char* Data, size_t Size, size_t* Written) {
  BIO_clear_retry_flags(Bio);
  for (;;) {
    const ssize_t Sent = send(StateOf(Bio).Socket, Data, Size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (Sent >= 0) {
      *Written = static_cast<size_t>(Sent);
      return 1;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(Bio);
    return 0;
  }
}

int ReadFromSocket(BIO* Bio, char* Buffer, size_t Size, size_t* Read) {
  BIO_clear_retry_flags(Bio);
  for (;;) {
    const ssize_t Received = recv(StateOf(Bio).Socket, Buffer, Size, MSG_DONTWAIT);
    if (Received > 0) {
      *Read = static_cast<size_t>(Received);
      return 1;
    }
    if (Received == 0) StateOf(Bio).Ended = true;
    if (Received < 0 && errno == EINTR) continue;
    if (Received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(Bio);
    return 0;
  }
}

// OpenSSL asks whether the stream ended, so that it can tell an end from a failure.
long ControlSocket(BIO* Bio, int Command, long, void*) {
  if (Command == BIO_CTRL_EOF) return StateOf(Bio).Ended ? 1 : 0;
  return Command == BIO_CTRL_FLUSH ? 1 : 0;
}

int CreateSocketBio(BIO* Bio) {
  BIO_set_init(Bio, 1);
  return 1;
}

const BIO_METHOD* SocketMethod() {
  static BIO_METHOD* const Method = [] {
    BIO_METHOD* Made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vqstomp socket");
    BIO_meth_set_write_ex(Made, WriteToSocket);
    BIO_meth_set_read_ex(Made, ReadFromSocket);
    BIO_meth_set_ctrl(Made, ControlSocket);
    BIO_meth_set_create(Made, CreateSocketBio);
    return Made;
  }();
  return Method;
}

std::string ErrorText(unsigned long Error) {
  char Text[256];
  ERR_error_string_n(Error, Text, sizeof Text);
  const char* Reason = ERR_reason_error_string(Error);
  return Reason ? Reason : Text;
}

bool ReasonIn(unsigned long Error, std::initializer_list<int> Reasons) {
  if (ERR_GET_LIB(Error) != ERR_LIB_SSL) return false;
  for (const int Reason : Reasons)
    if (ERR_GET_REASON(Error) == Reason) return true;
  return false;
}

bool IsUntrusted(long Verdict) {
  switch (Verdict) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return true;
    default:
      return false;
  }
}

std::string CertificateRefusal(long Verdict, const std::string& Address, const std::string& Name) {
  const std::string Of = "The certificate of " + Address;
  const std::string Why = std::string(" (") + X509_verify_cert_error_string(Verdict) + ")";
  if (Verdict == X509_V_ERR_CERT_HAS_EXPIRED) return Of + " has expired" + Why;
  if (Verdict == X509_V_ERR_CERT_NOT_YET_VALID) return Of + " is not valid yet" + Why;
  if (Verdict == X509_V_ERR_HOSTNAME_MISMATCH || Verdict == X509_V_ERR_IP_ADDRESS_MISMATCH)
    return Of + " is not for \"" + Name + "\"" + Why +
           "; ServerName names the broker when it is reached through another name";
  if (IsUntrusted(Verdict))
    return Of + " is not trusted" + Why + ": CAFile or CADirectory must hold the CA that signed it";
  return Of + " was refused" + Why;
}

// What the peer or OpenSSL said when the stream broke, with a hint at the usual cause.
std::string StreamFailure(SSL* Ssl, unsigned long Error, const std::string& Address) {
  const std::string Reason = ErrorText(Error);
  if (ReasonIn(Error, {SSL_R_WRONG_VERSION_NUMBER, SSL_R_PACKET_LENGTH_TOO_LONG, SSL_R_UNKNOWN_PROTOCOL,
                       SSL_R_HTTP_REQUEST, SSL_R_RECORD_LENGTH_MISMATCH}))
    return Address + " does not speak TLS (" + Reason + "): is it a plain STOMP port?";
  if (ReasonIn(Error, {SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED, SSL_R_SSLV3_ALERT_BAD_CERTIFICATE,
                       SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN, SSL_R_TLSV1_ALERT_UNKNOWN_CA,
                       SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE, SSL_R_TLSV1_ALERT_ACCESS_DENIED})) {
    if (SSL_get_certificate(Ssl) == nullptr)
      return Address + " refused the TLS connection (" + Reason +
             "): it may want a client certificate (CertificateFile, KeyFile)";
    return Address + " refused this client's certificate (" + Reason + ")";
  }
  return "TLS with " + Address + " failed: " + Reason;
}

// One TLS connection over a connected non-blocking socket. OpenSSL lets one thread at a
// time use it, so every call on it holds the lock; none of them waits.
class TTLSChannel final : public ISocketChannel {
public:
  TTLSChannel(ssl_ctx_st* Context, int Socket, std::string Address);

  void Handshake(const std::string& Name, bool Verify, TSocketDeadline Deadline);
  TTransfer Receive(char* Buffer, size_t Size) override;
  TTransfer Send(const char* Data, size_t Size) override;
  bool HasBuffered() override;
  void SayGoodbye() override;
  std::string Failure() override;

private:
  void CheckName(const std::string& Name);
  [[noreturn]] void RaiseHandshakeFailure(int Result, bool Verify, const std::string& Name);
  // A call that moved nothing, as a transfer; under the lock.
  TTransfer Failed(int Result);

  std::mutex FLock;
  TSocketState FState;
  std::unique_ptr<SSL, decltype(&SSL_free)> FSsl;
  const std::string FAddress;
  std::string FFailure;
  bool FBroken = false;
  // The last receive filled the buffer: more may be decrypted without the socket.
  bool FFilled = false;
  // A failure met after a receive had bytes to return; the next receive returns it.
  std::optional<TTransfer> FHeld;
};

TTLSChannel::TTLSChannel(ssl_ctx_st* Context, int Socket, std::string Address)
    : FState{Socket}, FSsl(SSL_new(Context), &SSL_free), FAddress(std::move(Address)) {
  BIO* Bio = FSsl ? BIO_new(SocketMethod()) : nullptr;
  if (!Bio) throw EVQTLSError("Cannot set up TLS for " + FAddress + ": " + ErrorText(ERR_get_error()));
  BIO_set_data(Bio, &FState);
  SSL_set_bio(FSsl.get(), Bio, Bio);
}

void TTLSChannel::CheckName(const std::string& Name) {
  in6_addr Address;
  const bool IsAddress =
      inet_pton(AF_INET, Name.c_str(), &Address) == 1 || inet_pton(AF_INET6, Name.c_str(), &Address) == 1;
  X509_VERIFY_PARAM* Checks = SSL_get0_param(FSsl.get());
  X509_VERIFY_PARAM_set_hostflags(Checks, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  const bool Set = IsAddress ? X509_VERIFY_PARAM_set1_ip_asc(Checks, Name.c_str()) == 1
                             : SSL_set_tlsext_host_name(FSsl.get(), Name.c_str()) == 1 &&
                                   SSL_set1_host(FSsl.get(), Name.c_str()) == 1;
  if (!Set) throw EVQTLSError("Cannot check the certificate of " + FAddress + " against \"" + Name + "\"");
}

void TTLSChannel::Handshake(const std::string& Name, bool Verify, TSocketDeadline Deadline) {
  CheckName(Name);
  for (;;) {
    ERR_clear_error();
    const int Result = SSL_connect(FSsl.get());
    if (Result == 1) return;
    const int Error = SSL_get_error(FSsl.get(), Result);
    const short Event = Error == SSL_ERROR_WANT_READ ? POLLIN : Error == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (Event == 0) RaiseHandshakeFailure(Result, Verify, Name);
    if (!AwaitSocket(FState.Socket, Event, Deadline)) throw EIdTimeout("No TLS answer from");
  }
}

void TTLSChannel::RaiseHandshakeFailure(int Result, bool Verify, const std::string& Name) {
  const int SocketError = errno;
  if (const long Verdict = SSL_get_verify_result(FSsl.get()); Verify && Verdict != X509_V_OK)
    throw EVQTLSError(CertificateRefusal(Verdict, FAddress, Name));
  if (const unsigned long Error = ERR_peek_last_error(); Error != 0)
    throw EVQTLSError(StreamFailure(FSsl.get(), Error, FAddress));
  if (SSL_get_error(FSsl.get(), Result) == SSL_ERROR_SYSCALL && SocketError != 0 && !FState.Ended)
    throw EIdSocketError(SocketError);
  throw EVQTLSError(FAddress +
                    " closed the connection during the TLS handshake: is it a plain STOMP port, or does it refuse "
                    "this client?");
}

// Decrypts as much as fits, so that what arrived is taken in one call.
TTransfer TTLSChannel::Receive(char* Buffer, size_t Size) {
  std::lock_guard Guard(FLock);
  if (FHeld) return *std::exchange(FHeld, std::nullopt);
  size_t Total = 0;
  while (Total < Size) {
    ERR_clear_error();
    size_t Read = 0;
    const int Result = SSL_read_ex(FSsl.get(), Buffer + Total, Size - Total, &Read);
    if (Result != 1) {
      FFilled = false;
      const TTransfer Stopped = Failed(Result);
      if (Total == 0) return Stopped;
      if (Stopped.Await == 0) FHeld = Stopped;
      return {.Count = Total};
    }
    Total += Read;
  }
  FFilled = true;
  return {.Count = Total};
}

TTransfer TTLSChannel::Send(const char* Data, size_t Size) {
  std::lock_guard Guard(FLock);
  ERR_clear_error();
  size_t Written = 0;
  const int Result = SSL_write_ex(FSsl.get(), Data, Size, &Written);
  if (Result == 1) return {.Count = Written};
  return Failed(Result);
}

bool TTLSChannel::HasBuffered() {
  std::lock_guard Guard(FLock);
  return FHeld.has_value() || (FFilled && SSL_has_pending(FSsl.get()) == 1);
}

void TTLSChannel::SayGoodbye() {
  std::lock_guard Guard(FLock);
  if (FBroken) return;
  ERR_clear_error();
  SSL_shutdown(FSsl.get());
  ERR_clear_error();
}

std::string TTLSChannel::Failure() {
  std::lock_guard Guard(FLock);
  return FFailure;
}

TTransfer TTLSChannel::Failed(int Result) {
  const int SocketError = errno;
  switch (SSL_get_error(FSsl.get(), Result)) {
    case SSL_ERROR_WANT_READ:
      return {.Await = POLLIN};
    case SSL_ERROR_WANT_WRITE:
      return {.Await = POLLOUT};
    case SSL_ERROR_ZERO_RETURN:
      return {.Ended = true};
    default:
      break;
  }
  FBroken = true;
  // Without an error of OpenSSL's own, the socket failed or ended.
  const unsigned long Error = ERR_peek_last_error();
  if (Error == 0) return SocketError != 0 && !FState.Ended ? TTransfer{.Error = SocketError} : TTransfer{.Ended = true};
  FFailure = StreamFailure(FSsl.get(), Error, FAddress);
  return {.Error = EPROTO};
}

}  // namespace

TVQTLSContext::TVQTLSContext(const TVQTLSOptions& Options)
    : FContext(SSL_CTX_new(TLS_client_method())), FServerName(Options.ServerName), FVerify(Options.Verify) {
  const auto Fail = [](const std::string& What) {
    throw EVQTLSError(What + ": " + ErrorText(ERR_peek_error()));
  };
  ERR_clear_error();
  if (!FContext) Fail("Cannot set up TLS");
  SSL_CTX* Context = FContext.get();
  SSL_CTX_set_min_proto_version(Context, TLS1_2_VERSION);
  SSL_CTX_set_options(Context, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(Context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Fewer system calls: one receive may bring several records.
  SSL_CTX_set_read_ahead(Context, 1);
  SSL_CTX_set_verify(Context, FVerify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
  const char* CAFile = Options.CAFile.empty() ? nullptr : Options.CAFile.c_str();
  const char* CADirectory = Options.CADirectory.empty() ? nullptr : Options.CADirectory.c_str();
  if (CAFile || CADirectory) {
    if (SSL_CTX_load_verify_locations(Context, CAFile, CADirectory) != 1)
      Fail("Cannot load the CA certificates from \"" + (CAFile ? Options.CAFile : Options.CADirectory) + "\"");
  } else if (SSL_CTX_set_default_verify_paths(Context) != 1) {
    Fail("Cannot load the system's trusted CA certificates");
  }
  if (Options.CertificateFile.empty()) {
    if (!Options.KeyFile.empty()) throw EVQTLSError("KeyFile is set but CertificateFile is not");
    return;
  }
  // Without a pass phrase given, OpenSSL would ask for one on the terminal. It keeps the
  // pointer only while the files are read.
  SSL_CTX_set_default_passwd_cb_userdata(Context, const_cast<char*>(Options.KeyPassword.c_str()));
  const std::string& KeyFile = Options.KeyFile.empty() ? Options.CertificateFile : Options.KeyFile;
  const bool CertificateLoaded = SSL_CTX_use_certificate_chain_file(Context, Options.CertificateFile.c_str()) == 1;
  const bool KeyLoaded =
      CertificateLoaded && SSL_CTX_use_PrivateKey_file(Context, KeyFile.c_str(), SSL_FILETYPE_PEM) == 1;
  SSL_CTX_set_default_passwd_cb_userdata(Context, nullptr);
  if (!CertificateLoaded) Fail("Cannot load the client certificate from \"" + Options.CertificateFile + "\"");
  if (!KeyLoaded) Fail("Cannot load the private key from \"" + KeyFile + "\" (is KeyPassword right?)");
  if (SSL_CTX_check_private_key(Context) != 1)
    Fail("The private key in \"" + KeyFile + "\" does not belong to the certificate in \"" +
         Options.CertificateFile + "\"");
}

TVQTLSContext::~TVQTLSContext() = default;

void TVQTLSContext::TFree::operator()(ssl_ctx_st* Context) const { SSL_CTX_free(Context); }

std::unique_ptr<ISocketChannel> TVQTLSContext::Open(int Socket, const std::string& Host, int32_t Port,
                                                    TSocketDeadline Deadline) const {
  auto Channel = std::make_unique<TTLSChannel>(FContext.get(), Socket, Host + ":" + std::to_string(Port));
  Channel->Handshake(FServerName.empty() ? Host : FServerName, FVerify, Deadline);
  return Channel;
}

}  // namespace vq
