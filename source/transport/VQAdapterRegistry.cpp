#include "transport/VQAdapterRegistry.h"

#include <mutex>
#include <string>
#include <vector>

#include "transport/VQCommAdapterIndy.h"

namespace vq {

namespace {

struct TRegistry {
  std::mutex Lock;
  // Seeded here rather than by a registration object, which the linker could drop.
  std::vector<TVQCommAdapterClass> Classes{&AdapterClass<TVQCommAdapterIndy>};
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

}  // namespace vq
