#include "transport/VQAdapterRegistry.h"

#include <mutex>
#include <string>
#include <vector>

#include "transport/VQCommAdapterIndy.h"
#ifdef VQSTOMP_WITH_TLS
#include "transport/VQCommAdapterTLS.h"
#endif

namespace vq {

namespace {

struct TRegistry {
  std::mutex Lock;
  // Seeded here rather than by a registration object, which the linker could drop.
  std::vector<TVQCommAdapterClass> Classes {
    &AdapterClass<TVQCommAdapterIndy>,
#ifdef VQSTOMP_WITH_TLS
        &AdapterClass<TVQCommAdapterTLS>,
#endif
  };
};

TRegistry& Registry() {
  static TRegistry Instance;
  return Instance;
}

}  // namespace

void RegisterAdapter(TVQCommAdapterClass AdapterClass) {
  std::lock_guard Guard(Registry().Lock);
  Registry().Classes.push_back(AdapterClass);
}

int32_t AdapterCount() {
  std::lock_guard Guard(Registry().Lock);
  return static_cast<int32_t>(Registry().Classes.size());
}

std::unique_ptr<TVQCommAdapter> CreateAdapter(int32_t Index) {
  TVQCommAdapterClass Class;
  {
    std::lock_guard Guard(Registry().Lock);
    const auto& Classes = Registry().Classes;
    if (Index < 0 || static_cast<size_t>(Index) >= Classes.size())
      throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
    Class = Classes[static_cast<size_t>(Index)];
  }
  return Class();
}

std::unique_ptr<TVQCommAdapter> CreateDefaultAdapter() { return CreateAdapter(DefaultAdapterIndex); }

std::unique_ptr<TVQCommAdapter> CreateTLSAdapter() {
  for (int32_t Index = 0; Index < AdapterCount(); ++Index)
    if (auto Adapter = CreateAdapter(Index); dynamic_cast<ITLSCommAdapter*>(Adapter.get()) != nullptr) return Adapter;
  throw EVQTLSError("TLS was asked for, but no adapter that speaks it is registered: this build of the library has "
                    "no TLS (it is built with TLS when OpenSSL, Debian's libssl-dev, is installed)");
}

}  // namespace vq
