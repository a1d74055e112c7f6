#pragma once

#include <cstdint>
#include <memory>

#include <vqstomp/VQExceptions.h>

#include "transport/VQCommAdapter.h"

namespace vq {

// Makes a new adapter of one class; the caller owns it.
using TVQCommAdapterClass = std::unique_ptr<TVQCommAdapter> (*)();

template <class TAdapter>
std::unique_ptr<TVQCommAdapter> AdapterClass() {
  return std::make_unique<TAdapter>();
}

inline constexpr int32_t DefaultAdapterIndex = 0;

// The TCP adapter is always at index 0, however the library is linked; further classes
// follow in registration order, duplicates included.
void RegisterAdapter(TVQCommAdapterClass AdapterClass);
int32_t AdapterCount();
// Raises EListError for an index outside 0 to AdapterCount() - 1.
std::unique_ptr<TVQCommAdapter> CreateAdapter(int32_t Index);
std::unique_ptr<TVQCommAdapter> CreateDefaultAdapter();
// The first registered adapter that speaks TLS; EVQTLSError when there is none.
std::unique_ptr<TVQCommAdapter> CreateTLSAdapter();

}  // namespace vq
