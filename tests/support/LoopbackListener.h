#pragma once

// A listening socket on 127.0.0.1 at a port the kernel picks: the fake brokers of the
// tests, benchmarks and fuzzers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace vq::test {

// Raises std::runtime_error naming the call that failed.
inline int ListenOnLoopback(int32_t& Port, int Backlog = 4) {
  const auto Fail = [](const char* What) {
    throw std::runtime_error(std::string(What) + " failed: errno " + std::to_string(errno));
  };
  const int Socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Socket < 0) Fail("socket");
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Length = sizeof Address;
  if (bind(Socket, reinterpret_cast<sockaddr*>(&Address), Length) != 0 || listen(Socket, Backlog) != 0 ||
      getsockname(Socket, reinterpret_cast<sockaddr*>(&Address), &Length) != 0) {
    close(Socket);
    Fail("listen on loopback");
  }
  Port = ntohs(Address.sin_port);
  return Socket;
}

}  // namespace vq::test
