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

  /// The STOMP versions offered, comma-separated ("1.0", "1.1", "1.2"), such as "1.2";
  /// empty: STOMP 1.0 exactly as always. The broker's choice is
  /// GetClient().GetVersion(); a choice not offered makes Start raise EVQStompError.
  std::string AcceptVersion;
  /// Sent as "host" when versions are offered; empty: Host. RabbitMQ wants one of its
  /// virtual hosts, "/" by default.
  std::string VirtualHost;
  /// Heart-beats asked for (they need AcceptVersion): at most this long between two
  /// writes of this side; zero: none.
  std::chrono::milliseconds HeartBeatSend{0};
  /// At most this long between two frames or heart-beats of the broker; zero: none. A
  /// broker silent for twice the agreed interval (plus a margin) loses the connection.
  std::chrono::milliseconds HeartBeatReceive{0};
  /// How long a call waits for a receipt it asked for; past it, EVQStompReceiptTimeout.
  std::chrono::milliseconds ReceiptTimeout{30000};
  /// Every producer waits for the broker's receipt of each send.
  bool SyncSend = false;
  /// Subscribe, acknowledgements, NACK, commit and rollback wait for their receipts.
  bool SyncCommands = false;
};

}  // namespace vq
