// Parse must take any text: a frame, or an exception of the library's own, never a crash.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <vqstomp/VQStompFrame.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  try {
    const auto Frame = vq::TVQStompFrame::Parse(std::string_view(reinterpret_cast<const char*>(Data), Size));
    (void)Frame->Output();
  } catch (const vq::Exception&) {
  }
  return 0;
}
