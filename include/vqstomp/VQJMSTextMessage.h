#pragma once

#include <memory>
#include <string>

#include <vqstomp/VQJMSMessage.h>

namespace vq {

// The body travels as UTF-8.
class TVQJMSTextMessage : public TVQJMSMessage, public ITextMessage {
public:
  using TVQJMSMessage::TVQJMSMessage;

  // Ill-formed UTF-8 in the body becomes U+FFFD; the rest of the text is kept.
  static std::shared_ptr<ITextMessage> CreateFromFrame(const IStompFrame& Frame);
  // The same, as the class itself.
  static std::shared_ptr<TVQJMSTextMessage> FromFrame(const IStompFrame& Frame);

  void SetText(const std::u16string& Value) override { FText = Value; }
  std::u16string GetText() const override { return FText; }
  void SetText(const std::string& Utf8) override;
  std::string GetTextUtf8() const override;
  void WriteToFrame(IStompFrame& Frame) const override;

private:
  std::u16string FText;
};

}  // namespace vq
