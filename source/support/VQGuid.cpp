#include "support/VQGuid.h"

#include <array>
#include <cstdint>
#include <random>

namespace vq {

namespace {

using TGuidBytes = std::array<uint8_t, 16>;

// Every identifier draws fresh bytes from the operating system rather than from a
// seeded engine: a forked process or a clone of a machine cannot repeat another's
// sequence. Identifiers are made once per consumer or session, so the system calls are
// cheap enough. One device per thread, since a shared one would need a lock.
TGuidBytes RandomGuidBytes() {
  thread_local std::random_device Device;
  TGuidBytes Bytes;
  for (size_t I = 0; I < Bytes.size(); I += 4) {
    const uint32_t Word = Device();
    for (size_t J = 0; J < 4; ++J) Bytes[I + J] = static_cast<uint8_t>(Word >> (8 * J));
  }
  Bytes[6] = static_cast<uint8_t>((Bytes[6] & 0x0F) | 0x40);  // version 4: random
  Bytes[8] = static_cast<uint8_t>((Bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return Bytes;
}

}  // namespace

std::string NewGuidText() {
  constexpr char HexDigits[] = "0123456789ABCDEF";
  const TGuidBytes Bytes = RandomGuidBytes();
  std::string Text;
  Text.reserve(38);
  Text.push_back('{');
  for (size_t I = 0; I < Bytes.size(); ++I) {
    if (I == 4 || I == 6 || I == 8 || I == 10) Text.push_back('-');
    Text.push_back(HexDigits[Bytes[I] >> 4]);
    Text.push_back(HexDigits[Bytes[I] & 0x0F]);
  }
  Text.push_back('}');
  return Text;
}

}  // namespace vq
