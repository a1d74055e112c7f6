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
  std::string Host = "localhost";
  int32_t Port = 61613;
  /// Sent as "login" and "passcode"; empty ones are left out of CONNECT.
  std::string Username;
  std::string Password;
  /// How long Start may take to connect and get the broker's answer.
  std::chrono::milliseconds ConnectTimeout{30000};
  /// How long a send or acknowledgement may wait for the kernel to take its bytes; past
  /// it the call raises and the connection is lost.
  std::chrono::milliseconds WriteTimeout{30000};
  /// The largest frame taken from the broker, headers and body together; a larger one
  /// loses the connection before its bytes are held.
  size_t MaxFrameSize = 100 * 1024 * 1024;
};

}  // namespace vq
