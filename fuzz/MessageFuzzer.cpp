// A received frame becomes a text or bytes message whatever its headers and body hold,
// and that message can be read and written again without a crash.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <vqstomp/VQJMSBytesMessage.h>
#include <vqstomp/VQJMSTextMessage.h>
#include <vqstomp/VQStompFrame.h>

namespace {

void Exercise(vq::TVQJMSMessage& Message) {
  const auto Properties = Message.GetProperties();
  for (const auto& Name : Properties->GetNames()) {
    (void)Properties->GetLong(Name);
    (void)Properties->GetDouble(Name);
    (void)Properties->GetChar(Name);
  }
  vq::TVQStompFrame Out;
  Message.WriteToFrame(Out);
  (void)Out.Output();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  try {
    const auto Frame = vq::TVQStompFrame::Parse(std::string_view(reinterpret_cast<const char*>(Data), Size));
    Exercise(*vq::TVQJMSTextMessage::FromFrame(*Frame));
    Exercise(*vq::TVQJMSBytesMessage::FromFrame(*Frame));
  } catch (const vq::Exception&) {
  }
  return 0;
}
