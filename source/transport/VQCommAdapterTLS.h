#pragma once

#include <memory>
#include <mutex>
#include <string>

#include <vqstomp/VQTLSOptions.h>

#include "transport/VQCommAdapterIndy.h"
#include "transport/VQTLSChannel.h"

namespace vq {

// STOMP frames over TLS: the TCP adapter with every byte passing through OpenSSL. The
// options take effect at the next Connect.
class TVQCommAdapterTLS : public TVQCommAdapterIndy, public ITLSCommAdapter {
public:
  TVQCommAdapterTLS();

  void SetTLSOptions(const TVQTLSOptions& Options) override;
  // Loads the certificates the options name (once for each set of options), then
  // connects and runs the handshake within the connect time-out.
  void Connect() override;
  std::string GetName() const override { return "TVQCommAdapterTLS"; }

private:
  std::shared_ptr<const TVQTLSContext> Context();

  std::mutex FLock;
  TVQTLSOptions FOptions;
  std::shared_ptr<const TVQTLSContext> FContext;
  bool FWarned = false;
};

}  // namespace vq
