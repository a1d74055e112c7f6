#include "TLSFront.h"

#include "LoopbackListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace vq::test {

namespace {

void Require(bool Done, const std::string& What) {
  if (!Done) throw std::runtime_error("TTLSFront: " + What + " failed");
}

ssl_ctx_st* MakeContext(const TTLSIdentity& Identity) {
  SSL_CTX* Context = SSL_CTX_new(TLS_server_method());
  Require(Context != nullptr, "SSL_CTX_new");
  Require(SSL_CTX_use_certificate_chain_file(Context, Identity.Certificate.c_str()) == 1 &&
              SSL_CTX_use_PrivateKey_file(Context, Identity.Key.c_str(), SSL_FILETYPE_PEM) == 1,
          "loading " + Identity.Certificate);
  if (!Identity.ClientCA.empty()) {
    Require(SSL_CTX_load_verify_locations(Context, Identity.ClientCA.c_str(), nullptr) == 1,
            "loading " + Identity.ClientCA);
    SSL_CTX_set_client_CA_list(Context, SSL_load_client_CA_file(Identity.ClientCA.c_str()));
    SSL_CTX_set_verify(Context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  return Context;
}

int ConnectToLoopback(int32_t Port) {
  const int Socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Address.sin_port = htons(static_cast<uint16_t>(Port));
  Require(Socket >= 0 && connect(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0,
          "connecting to the backend");
  return Socket;
}

// Until the backend goes away; its end reaches the client through FromBackend.
void SendAll(int Socket, const char* Data, size_t Size) {
  while (Size > 0) {
    const ssize_t Sent = send(Socket, Data, Size, MSG_NOSIGNAL);
    if (Sent < 0 && errno == EINTR) continue;
    if (Sent < 0) return;
    Data += Sent;
    Size -= static_cast<size_t>(Sent);
  }
}

// Closes with RST rather than FIN.
void Reset(std::atomic<int>& Socket) {
  const linger Abort{1, 0};
  setsockopt(Socket, SOL_SOCKET, SO_LINGER, &Abort, sizeof Abort);
  close(Socket.exchange(-1));
}

void Shutdown(const std::atomic<int>& Socket) {
  if (const int Value = Socket; Value >= 0) shutdown(Value, SHUT_RDWR);
}

}  // namespace

TTLSFront::TTLSFront(int32_t BackendPort, const TTLSIdentity& Identity)
    : FBackendPort(BackendPort), FContext(MakeContext(Identity), &SSL_CTX_free), FSsl(nullptr, &SSL_free) {
  FListener = ListenOnLoopback(FPort);
  FThread = std::thread(&TTLSFront::Run, this);
}

// Shutting the sockets down wakes the thread wherever it waits.
TTLSFront::~TTLSFront() {
  FQuit = true;
  shutdown(FListener, SHUT_RDWR);
  Shutdown(FClient);
  Shutdown(FBackend);
  FThread.join();
  for (const int Socket : {FListener, FClient.load(), FBackend.load()})
    if (Socket >= 0) close(Socket);
}

void TTLSFront::Run() {
  // A client that went away must not kill the test with SIGPIPE.
  sigset_t Pipe;
  sigemptyset(&Pipe);
  sigaddset(&Pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &Pipe, nullptr);
  if (Accept()) Relay();
}

// False when the handshake failed or the front is going away.
bool TTLSFront::Accept() {
  const int Client = accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
  if (Client < 0) return false;
  FClient = Client;
  FSsl.reset(SSL_new(FContext.get()));
  SSL_set_fd(FSsl.get(), Client);
  if (SSL_accept(FSsl.get()) != 1) {
    // As brokers do: whatever alert OpenSSL sent, then the end. Bytes left unread
    // would turn the close into a reset, which drops the alert.
    ERR_clear_error();
    char Rest[4096];
    while (recv(Client, Rest, sizeof Rest, MSG_DONTWAIT) > 0) {
    }
    close(FClient.exchange(-1));
    return false;
  }
  FBackend = ConnectToLoopback(FBackendPort);
  return !FQuit;
}

void TTLSFront::Relay() {
  while (!FQuit && !(FClientDone && FBackendDone)) {
    pollfd Polls[2] = {{FClientDone ? -1 : FClient.load(), POLLIN, 0}, {FBackendDone ? -1 : FBackend.load(), POLLIN, 0}};
    const bool Decrypted = !FClientDone && SSL_pending(FSsl.get()) > 0;
    if (!Decrypted && poll(Polls, 2, -1) < 0 && errno != EINTR) return;
    if (!FClientDone && (Decrypted || Polls[0].revents != 0)) FromClient();
    if (!FBackendDone && Polls[1].revents != 0) FromBackend();
  }
}

void TTLSFront::FromClient() {
  char Buffer[16384];
  const int Read = SSL_read(FSsl.get(), Buffer, sizeof Buffer);
  if (Read > 0) {
    SendAll(FBackend, Buffer, static_cast<size_t>(Read));
    return;
  }
  const bool WasReset = SSL_get_error(FSsl.get(), Read) == SSL_ERROR_SYSCALL && errno == ECONNRESET;
  ERR_clear_error();
  FClientDone = true;
  if (WasReset) {
    Reset(FBackend);
    FBackendDone = true;
  } else {
    shutdown(FBackend, SHUT_WR);
  }
}

void TTLSFront::FromBackend() {
  char Buffer[16384];
  const ssize_t Received = recv(FBackend, Buffer, sizeof Buffer, 0);
  if (Received > 0) {
    SSL_write(FSsl.get(), Buffer, static_cast<int>(Received));
    return;
  }
  FBackendDone = true;
  if (Received < 0 && errno == ECONNRESET) return ResetClient();
  SSL_shutdown(FSsl.get());
  ERR_clear_error();
  shutdown(FClient, SHUT_WR);
}

void TTLSFront::ResetClient() {
  Reset(FClient);
  FClientDone = true;
}

}  // namespace vq::test
