#pragma once

/// @file
/// The bytes message.

#include <memory>
#include <string>
#include <utility>

#include <vqstomp/VQJMSMessage.h>

namespace vq {

/// The body travels unchanged, any byte allowed.
class TVQJMSBytesMessage : public TVQJMSMessage, public IBytesMessage {
public:
  /// The constructors of TVQJMSMessage: an empty body, or a received frame's headers.
  using TVQJMSMessage::TVQJMSMessage;

  /// A message of a received frame: its headers, and a copy of its body.
  static std::shared_ptr<IBytesMessage> CreateFromFrame(const IStompFrame& Frame);
  /// The same, as the class itself; the headers and body move out of a TVQStompFrame uncopied.
  static std::shared_ptr<TVQJMSBytesMessage> FromFrame(IStompFrame& Frame);

  void SetContent(std::string Value) override { FContent = std::move(Value); }
  const std::string& GetContent() const override { return FContent; }
  /// The headers as TVQJMSMessage writes them, and the content for the body.
  void WriteToFrame(IStompFrame& Frame) const override;
  std::string_view WireBody() const override { return FContent; }

private:
  std::string FContent;
};

}  // namespace vq
