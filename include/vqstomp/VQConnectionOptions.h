#pragma once

/// @file
/// Everything a connection is made with, in one object.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vq {

/// The broker to connect to, the credentials, and the time-outs and limits of the
/// connection. Handed to TVQJMSConnection::CreateConnection; copied, not kept.
struct TVQConnectionOptions {
  /// The broker's host name or IPv4 address; an empty one makes Start raise EVQCommError.
  std::string Host = "localhost";
  /// The broker's STOMP port, 1 to 65535 (checked by Start, which raises EVQCommError).
  int32_t Port = 61613;
  /// Sent as "login"; an empty one is left out of CONNECT.
  std::string Username;
  /// Sent as "passcode"; an empty one is left out of CONNECT.
  std::string Password;
  /// How long Start may take to connect and get the broker's answer (zero or less: no
  /// limit); past it Start raises EIdTimeout.
  std::chrono::milliseconds ConnectTimeout{30000};
  /// How long a send or acknowledgement may wait for the kernel to take its bytes (zero
  /// or less: no limit); past it the call raises EIdTimeout and the connection is lost.
  std::chrono::milliseconds WriteTimeout{30000};
  /// The largest frame taken from the broker in bytes, headers and body together; a
  /// larger one loses the connection (EIdUntrustedStream) before its bytes are held.
  size_t MaxFrameSize = 100 * 1024 * 1024;
};

}  // namespace vq
