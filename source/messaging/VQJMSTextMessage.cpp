#include <vqstomp/VQJMSTextMessage.h>

#include "support/VQUnicode.h"

namespace vq {

std::shared_ptr<ITextMessage> TVQJMSTextMessage::CreateFromFrame(const IStompFrame& Frame) {
  return WithText(std::make_shared<TVQJMSTextMessage>(Frame), Frame.GetBody());
}

std::shared_ptr<TVQJMSTextMessage> TVQJMSTextMessage::FromFrame(IStompFrame& Frame) {
  return WithText(std::make_shared<TVQJMSTextMessage>(HeadersOf(Frame)), Frame.GetBody());
}

std::shared_ptr<TVQJMSTextMessage> TVQJMSTextMessage::WithText(std::shared_ptr<TVQJMSTextMessage> Message,
                                                               std::string_view Utf8) {
  Message->FText = Utf8ToUtf16Replacing(Utf8);
  return Message;
}

void TVQJMSTextMessage::SetText(const std::string& Utf8) { FText = Utf8ToUtf16Replacing(Utf8); }

std::string TVQJMSTextMessage::GetTextUtf8() const { return Utf16ToUtf8(FText); }

void TVQJMSTextMessage::WriteToFrame(IStompFrame& Frame) const {
  TVQJMSMessage::WriteToFrame(Frame);
  Frame.SetBody(Utf16ToUtf8(FText));
}

}  // namespace vq
