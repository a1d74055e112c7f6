#pragma once

#include <memory>
#include <string>

#include <vqstomp/VQStompFrame.h>

namespace vq::bench {

// A MESSAGE frame as a broker sends it: six headers and a 100-byte body, with or
// without a content-length.
inline std::shared_ptr<TVQStompFrame> TypicalMessage(bool Counted) {
  auto Frame = std::make_shared<TVQStompFrame>();
  Frame->SetCommand("MESSAGE");
  Frame->SetHeader("message-id", "ID:host-40123-1765254580000-3:1:1:1:42");
  Frame->SetHeader("destination", "/queue/a");
  Frame->SetHeader("subscription", "{0F8FAD5B-D9CB-469F-A165-70867728950E}");
  Frame->SetHeader("timestamp", "1765254580123");
  Frame->SetHeader("expires", "0");
  Frame->SetHeader("priority", "4");
  if (Counted) Frame->SetHeader("content-length", "100");
  Frame->SetBody(std::string(100, 'x'));
  return Frame;
}

}  // namespace vq::bench
