#include "transport/VQCommAdapterTLS.h"

#include <utility>

namespace vq {

TVQCommAdapterTLS::TVQCommAdapterTLS() {
  SetChannelOpener([this](int Socket, TSocketDeadline Deadline) {
    return Context()->Open(Socket, GetHost(), GetPort(), Deadline);
  });
}

void TVQCommAdapterTLS::SetTLSOptions(const TVQTLSOptions& Options) {
  std::lock_guard Guard(FLock);
  FOptions = Options;
  FContext.reset();
}

void TVQCommAdapterTLS::Connect() {
  Context();
  TVQCommAdapterIndy::Connect();
}

std::shared_ptr<const TVQTLSContext> TVQCommAdapterTLS::Context() {
  std::lock_guard Guard(FLock);
  if (!FContext) FContext = std::make_shared<const TVQTLSContext>(FOptions);
  if (!FOptions.Verify && !std::exchange(FWarned, true))
    LogWarning("TLS verification is off: the broker's certificate and name are not checked, so anyone on the "
               "path can read and change the traffic");
  return FContext;
}

}  // namespace vq
