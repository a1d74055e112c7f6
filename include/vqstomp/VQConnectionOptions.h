#pragma once

/// @file
/// Everything a connection is made with, in one object.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <vqstomp/VQTLSOptions.h>

namespace vq {

/// One broker of a cluster.
struct TVQBrokerAddress {
  std::string Host;     ///< Host name or IPv4 address.
  int32_t Port = 61613; ///< STOMP port.
  /// "host:port", as messages name it.
  std::string Text() const { return Host + ":" + std::to_string(Port); }
};

/// How a connection with several brokers (or one) moves on after a loss. While it
/// reconnects:
/// - a send, acknowledgement, commit or new consumer waits up to ResumeTimeout for the
///   connection to come back, then raises EVQStompConnectionLostError;
/// - a synchronous send whose receipt was not seen raises EVQStompReceiptLost, unless
///   ResendUnconfirmed asks for it to be sent again once reconnected (at least once);
/// - a transaction open at the loss is gone: the next Commit raises
///   ETransactionRolledBackException, and the session has begun a new transaction;
/// - messages delivered but not acknowledged come again, marked redelivered; acknowledging
///   one received on the lost connection raises EIllegalStateException;
/// - Receive calls wait on, within their time-outs; listeners keep their consumers, which
///   subscribe again with their identifiers and acknowledgement modes.
/// The transport listener hears of the interruption and of the resumption; the exception
/// listener hears only that reconnection gave up.
struct TVQReconnectOptions {
  /// Reconnect after a loss; off: a loss is final, as always.
  bool Enabled = false;
  /// The wait after the first round over the broker list failed.
  std::chrono::milliseconds InitialDelay{100};
  /// The longest wait between two rounds.
  std::chrono::milliseconds MaxDelay{5000};
  /// Each failed round multiplies the wait by this (1: no growth).
  double BackOffMultiplier = 2.0;
  /// Connection attempts after a loss before giving up; -1: no limit.
  int32_t MaxAttempts = -1;
  /// Tries the brokers in a random order each round, instead of the next one first.
  bool Randomize = false;
  /// How long a call made during reconnection waits for it.
  std::chrono::milliseconds ResumeTimeout{30000};
  /// Sends again a synchronous send whose receipt the loss took (or whose write failed),
  /// once reconnected: at least once, where a duplicate is possible.
  bool ResendUnconfirmed = false;
};

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

  /// The brokers of a cluster, in order, for failover (Reconnect.Enabled): Start takes
  /// the first that answers, a loss moves on to the next. Empty: Host and Port. Several
  /// without failover make CreateConnection raise EVQCommError.
  std::vector<TVQBrokerAddress> Brokers;
  /// What happens after a loss.
  TVQReconnectOptions Reconnect;

  /// TLS to every broker of the connection; off by default.
  TVQTLSOptions TLS;

  /// Options for a broker URI: "tcp://host:port" (or "stomp://"), "ssl://host:port" (or
  /// "stomp+ssl://"; port 61614 when left out) for TLS with the system's trust, or a
  /// cluster as
  /// "failover:(tcp://a:61613,tcp://b:61614)?initialReconnectDelay=100&maxReconnectDelay=5000
  /// &maxReconnectAttempts=-1&randomize=false" with also "backOffMultiplier",
  /// "useExponentialBackOff", "timeout" (ResumeTimeout, ms) and "resendUnconfirmed".
  /// Raises EConvertError for what it cannot read.
  static TVQConnectionOptions FromURI(std::string_view URI);
};

}  // namespace vq
