#include <vqstomp/VQJMSTextMessage.h>

#include "support/VQUnicode.h"

namespace vq {

std::shared_ptr<ITextMessage> TVQJMSTextMessage::CreateFromFrame(const IStompFrame& Frame) {
  return WithText(std::make_shared<TVQJMSTextMessage>(Frame), Frame.GetBody());
}

std::shared_ptr<TVQJMSTextMessage> TVQJMSTextMessage::FromFrame(IStompFrame& Frame) {
  return WithText(std::make_shared<TVQJMSTextMessage>(HeadersOf(Frame)), BodyOf(Frame));
}

std::shared_ptr<TVQJMSTextMessage> TVQJMSTextMessage::WithText(std::shared_ptr<TVQJMSTextMessage> Message,
                                                               std::string Utf8) {
  Message->FText = WellFormedUtf8(std::move(Utf8));
  return Message;
}

void TVQJMSTextMessage::SetText(const std::u16string& Value) { FText = Utf16ToUtf8(Value); }

std::u16string TVQJMSTextMessage::GetText() const { return Utf8ToUtf16Replacing(FText); }

void TVQJMSTextMessage::SetText(const std::string& Utf8) { FText = WellFormedUtf8(Utf8); }

void TVQJMSTextMessage::WriteToFrame(IStompFrame& Frame) const {
  TVQJMSMessage::WriteToFrame(Frame);
  Frame.SetBody(FText);
}

}  // namespace vq
