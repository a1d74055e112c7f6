#include "VQJMSTextMessage.h"

#include "VQUnicode.h"

namespace vq {

std::shared_ptr<ITextMessage> TVQJMSTextMessage::CreateFromFrame(const IStompFrame& Frame) { return FromFrame(Frame); }

std::shared_ptr<TVQJMSTextMessage> TVQJMSTextMessage::FromFrame(const IStompFrame& Frame) {
  auto Message = std::make_shared<TVQJMSTextMessage>(Frame);
  Message->FText = Utf8ToUtf16Replacing(Frame.GetBody());
  return Message;
}

void TVQJMSTextMessage::WriteToFrame(IStompFrame& Frame) const {
  TVQJMSMessage::WriteToFrame(Frame);
  Frame.SetBody(Utf16ToUtf8(FText));
}

}  // namespace vq
