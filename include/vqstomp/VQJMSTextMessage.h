#pragma once

/// @file
/// The text message.

#include <memory>
#include <string>
#include <string_view>

#include <vqstomp/VQJMSMessage.h>

namespace vq {

/// The body travels as UTF-8, and the message keeps its text so: a UTF-16 text is
/// encoded as it is set, a lone surrogate becoming U+FFFD, and decoded as it is read.
class TVQJMSTextMessage : public TVQJMSMessage, public ITextMessage {
public:
  /// The constructors of TVQJMSMessage: an empty text, or a received frame's headers.
  using TVQJMSMessage::TVQJMSMessage;

  /// A message of a received frame: its headers, and its body as the text. Ill-formed
  /// UTF-8 in the body becomes U+FFFD; the rest of the text is kept.
  static std::shared_ptr<ITextMessage> CreateFromFrame(const IStompFrame& Frame);
  /// The same, as the class itself; the headers of one of the library's own frames are
  /// taken rather than copied.
  static std::shared_ptr<TVQJMSTextMessage> FromFrame(IStompFrame& Frame);

  void SetText(const std::u16string& Value) override;
  std::u16string GetText() const override;
  /// Ill-formed UTF-8 becomes U+FFFD, as in a received body.
  void SetText(const std::string& Utf8) override;
  std::string GetTextUtf8() const override { return FText; }
  /// The headers as TVQJMSMessage writes them, and the text as UTF-8 for the body.
  void WriteToFrame(IStompFrame& Frame) const override;
  std::string_view WireBody() const override { return FText; }

private:
  static std::shared_ptr<TVQJMSTextMessage> WithText(std::shared_ptr<TVQJMSTextMessage> Message,
                                                     std::string Utf8);

  // Well-formed UTF-8.
  std::string FText;
};

}  // namespace vq
