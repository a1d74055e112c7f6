#include <vqstomp/VQJMSBytesMessage.h>

#include <typeinfo>

#include <vqstomp/VQStompFrame.h>

namespace vq {

std::shared_ptr<IBytesMessage> TVQJMSBytesMessage::CreateFromFrame(const IStompFrame& Frame) {
  auto Message = std::make_shared<TVQJMSBytesMessage>(Frame);
  Message->SetContent(Frame.GetBody());
  return Message;
}

// Exact type first: a large body is then moved, and a cast costs nothing per message.
std::shared_ptr<TVQJMSBytesMessage> TVQJMSBytesMessage::FromFrame(IStompFrame& Frame) {
  auto Message = std::make_shared<TVQJMSBytesMessage>(HeadersOf(Frame));
  if (typeid(Frame) == typeid(TVQStompFrame))
    Message->SetContent(static_cast<TVQStompFrame&>(Frame).TakeBody());
  else
    Message->SetContent(Frame.GetBody());
  return Message;
}

void TVQJMSBytesMessage::WriteToFrame(IStompFrame& Frame) const {
  TVQJMSMessage::WriteToFrame(Frame);
  Frame.SetBody(FContent);
}

}  // namespace vq
