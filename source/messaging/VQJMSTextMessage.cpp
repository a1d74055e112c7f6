#include <vqstomp/VQJMSTextMessage.h>

#include "support/VQUnicode.h"

namespace vq {

std::shared_ptr<ITextMessage> TVQJMSTextMessage::CreateFromFrame(const IStompFrame& Frame) { return FromFrame(Frame); }

std::shared_ptr<TVQJMSTextMessage> TVQJMSTextMessage::FromFrame(const IStompFrame& Frame) {
  auto Message = std::make_shared<TVQJMSTextMessage>(Frame);
  Message->FText = Utf8ToUtf16Replacing(Frame.GetBody());
  return Message;
}

void TVQJMSTextMessage::SetText(const std::string& Utf8) { FText = Utf8ToUtf16Replacing(Utf8); }

std::string TVQJMSTextMessage::GetTextUtf8() const { return Utf16ToUtf8(FText); }

void TVQJMSTextMessage::WriteToFrame(IStompFrame& Frame) const {
  TVQJMSMessage::WriteToFrame(Frame);
  Frame.SetBody(Utf16ToUtf8(FText));
}

}  // namespace vq
