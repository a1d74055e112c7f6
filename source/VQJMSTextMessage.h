#pragma once

#include <memory>
#include <string>

#include "VQJMSMessage.h"

namespace vq {

// The body travels as UTF-8.
class TVQJMSTextMessage : public TVQJMSMessage, public ITextMessage {
public:
  using TVQJMSMessage::TVQJMSMessage;

  // A body that is not well-formed UTF-8 gives an empty text.
  static std::shared_ptr<ITextMessage> CreateFromFrame(const IStompFrame& Frame);

  void SetText(const std::u16string& Value) override { FText = Value; }
  std::u16string GetText() const override { return FText; }
  void WriteToFrame(IStompFrame& Frame) const override;

private:
  std::u16string FText;
};

}  // namespace vq
