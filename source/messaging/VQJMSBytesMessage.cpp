#include <vqstomp/VQJMSBytesMessage.h>

#include <vqstomp/VQStompFrame.h>

namespace vq {

std::shared_ptr<IBytesMessage> TVQJMSBytesMessage::CreateFromFrame(const IStompFrame& Frame) {
  auto Message = std::make_shared<TVQJMSBytesMessage>(Frame);
  Message->SetContent(Frame.GetBody());
  return Message;
}

std::shared_ptr<TVQJMSBytesMessage> TVQJMSBytesMessage::FromFrame(IStompFrame& Frame) {
  auto Message = std::make_shared<TVQJMSBytesMessage>(HeadersOf(Frame));
  Message->SetContent(BodyOf(Frame));
  return Message;
}

void TVQJMSBytesMessage::WriteToFrame(IStompFrame& Frame) const {
  TVQJMSMessage::WriteToFrame(Frame);
  Frame.SetBody(FContent);
}

}  // namespace vq
