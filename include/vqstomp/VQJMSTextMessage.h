#pragma once

/// @file
/// The text message.

#include <memory>
#include <string>
#include <string_view>

#include <vqstomp/VQJMSMessage.h>

namespace vq {

/// The body travels as UTF-8.
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

  void SetText(const std::u16string& Value) override { FText = Value; }
  std::u16string GetText() const override { return FText; }
  void SetText(const std::string& Utf8) override;
  std::string GetTextUtf8() const override;
  /// The headers as TVQJMSMessage writes them, and the text as UTF-8 for the body.
  void WriteToFrame(IStompFrame& Frame) const override;

private:
  static std::shared_ptr<TVQJMSTextMessage> WithText(std::shared_ptr<TVQJMSTextMessage> Message,
                                                     std::string_view Utf8);

  std::u16string FText;
};

}  // namespace vq
