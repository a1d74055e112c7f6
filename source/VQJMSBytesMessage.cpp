#include "VQJMSBytesMessage.h"

namespace vq {

std::shared_ptr<IBytesMessage> TVQJMSBytesMessage::CreateFromFrame(const IStompFrame& Frame) { return FromFrame(Frame); }

std::shared_ptr<TVQJMSBytesMessage> TVQJMSBytesMessage::FromFrame(const IStompFrame& Frame) {
  auto Message = std::make_shared<TVQJMSBytesMessage>(Frame);
  Message->SetContent(Frame.GetBody());
  return Message;
}

void TVQJMSBytesMessage::WriteToFrame(IStompFrame& Frame) const {
  TVQJMSMessage::WriteToFrame(Frame);
  Frame.SetBody(FContent);
}

}  // namespace vq
