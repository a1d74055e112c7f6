#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <vqstomp/VQTLSOptions.h>

#include "transport/VQSocketChannel.h"

struct ssl_ctx_st;

namespace vq {

// What TLS connections made with one set of options trust and present.
class TVQTLSContext {
public:
  // Loads the CA certificates and the client's certificate and key; EVQTLSError names
  // a file that cannot be used (never the pass phrase).
  explicit TVQTLSContext(const TVQTLSOptions& Options);
  ~TVQTLSContext();
  TVQTLSContext(const TVQTLSContext&) = delete;
  TVQTLSContext& operator=(const TVQTLSContext&) = delete;

  // Runs the handshake over Socket, just connected to Host:Port, by Deadline, and checks
  // the broker's certificate and name unless verification is off. EVQTLSError says why
  // the broker was refused, or that it did not speak TLS; EIdTimeout when it did not
  // answer in time.
  std::unique_ptr<ISocketChannel> Open(int Socket, const std::string& Host, int32_t Port,
                                       TSocketDeadline Deadline) const;

private:
  struct TFree {
    void operator()(ssl_ctx_st* Context) const;
  };

  std::unique_ptr<ssl_ctx_st, TFree> FContext;
  std::string FServerName;
  bool FVerify;
};

}  // namespace vq
