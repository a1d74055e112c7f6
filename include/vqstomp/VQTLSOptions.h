#pragma once

/// @file
/// How a connection speaks TLS.

#include <string>

namespace vq {

/// TLS for the connection to the broker: the broker's certificate chain and its host
/// name (or IP address) are checked unless Verify is off. Failures raise EVQTLSError
/// (EIdTimeout when the broker does not answer the handshake in time), within the
/// connect time-out.
struct TVQTLSOptions {
  /// Speak TLS; off: plain TCP, as always.
  bool Enabled = false;
  /// PEM file of the CA certificates to trust; with CADirectory empty too, the
  /// system's trust store.
  std::string CAFile;
  /// Folder of hashed CA certificates (as c_rehash makes them) to trust.
  std::string CADirectory;
  /// PEM file of the client certificate (and its chain), for brokers that ask for one.
  std::string CertificateFile;
  /// PEM file of the client certificate's private key; empty: CertificateFile holds it.
  std::string KeyFile;
  /// Pass phrase of an encrypted KeyFile; never logged.
  std::string KeyPassword;
  /// The name the broker's certificate must carry, also sent in the handshake (SNI);
  /// empty: the host connected to. For brokers reached through an address that their
  /// certificate does not name.
  std::string ServerName;
  /// Check the broker's certificate and name. Off, anyone on the path can read and
  /// change the traffic: a warning is logged once per connection.
  bool Verify = true;
};

}  // namespace vq
