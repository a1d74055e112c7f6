#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include <vqstomp/VQStompTypes.h>

#include "transport/VQCommInterfaces.h"

namespace vq {

// ActiveMQ's own limit for a frame.
inline constexpr size_t DefaultMaxFrameSize = 100 * 1024 * 1024;

// Line is the text up to its LF; with CarriageReturns (STOMP 1.2) a CR before that LF is
// no part of it.
inline std::string_view WithoutCarriageReturn(std::string_view Line, bool CarriageReturns) {
  if (CarriageReturns && Line.ends_with('\r')) Line.remove_suffix(1);
  return Line;
}

// The one content-length rule, for framing and decoding alike: the header line named
// "content-length" in any letter case with a value; repeated lines must agree; the value
// is a plain non-negative decimal number. None without such a line; EVQStompFrameError
// otherwise. With CarriageReturns (STOMP 1.2) a line may end with CR LF.
std::optional<uint64_t> FindContentLength(std::string_view HeaderBlock, bool CarriageReturns = false);
// The same rule for one header line: Found takes the value of a content-length header.
void MergeContentLength(std::optional<uint64_t>& Found, std::string_view Name, std::string_view Value);

// Finds the frames in the byte stream from the broker: the header block up to its empty
// line, then a counted body and its NUL, or the body up to the first NUL. Bytes up to
// 0x20 between frames (line ends, heart-beats) are padding. With carriage returns
// (offered or spoken STOMP 1.2), lines may end with CR LF.
class TVQStompFrameReader : public IFrameBoundary {
public:
  explicit TVQStompFrameReader(size_t MaxFrameSize = DefaultMaxFrameSize) : FMaxFrameSize(MaxFrameSize) {}

  // Raises EVQStompFrameError as soon as a frame announces or reaches more than the
  // size limit (header block and body together).
  TFrameExtent Measure(std::string_view Unread) override;
  void Restart() override;

  size_t GetMaxFrameSize() const { return FMaxFrameSize; }
  void SetMaxFrameSize(size_t Value) { FMaxFrameSize = Value; }
  // Set while nothing reads.
  void SetCarriageReturns(bool Value) { FCarriageReturns = Value; }

private:
  void CheckSize(size_t Size) const;
  // The frame's length once its terminator is in Frame, else 0.
  size_t FindEnd(std::string_view Frame);
  // True once the header block's empty line is in Frame; takes content-length on the way.
  bool ScanHeaderLines(std::string_view Frame);
  bool HeaderBlockEnded() const { return FBodyStart != 0; }
  // A counted frame's length; needs its header block ended.
  size_t CountedLength() const { return FBodyStart + static_cast<size_t>(*FBodyLength) + 1; }

  size_t FMaxFrameSize;
  bool FCarriageReturns = false;
  // Bytes of the frame already searched for the line end or NUL now looked for; 0 before
  // a frame's first byte, while padding may still come.
  size_t FScanned = 0;
  // Where the header line not ended yet begins.
  size_t FLineStart = 0;
  // Where the body starts, once the header block's empty line was found.
  size_t FBodyStart = 0;
  std::optional<uint64_t> FBodyLength;
};

}  // namespace vq
