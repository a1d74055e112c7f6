#include "stomp/VQStompFrameReader.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "support/VQTextUtils.h"

namespace vq {

namespace {

constexpr char LineEnd = '\n';
constexpr char Nul = '\0';
constexpr std::string_view ContentLengthName{"content-length"};

bool IsPadding(char Byte) { return static_cast<uint8_t>(Byte) <= 0x20; }

// Digits only (from_chars takes no sign for an unsigned type): a sign, blanks, a
// hexadecimal prefix or a fraction make the frame's end a guess.
uint64_t PlainLength(std::string_view Value) {
  uint64_t Length = 0;
  const auto [End, Error] = std::from_chars(Value.data(), Value.data() + Value.size(), Length);
  if (Error != std::errc() || End != Value.data() + Value.size())
    throw EVQStompFrameError("Invalid content-length \"" + std::string(Value) +
                             "\": not a plain non-negative decimal number; the stream cannot be trusted");
  return Length;
}

std::string SizeText(size_t Size) { return std::to_string(Size) + " bytes"; }

}  // namespace

void MergeContentLength(std::optional<uint64_t>& Found, std::string_view Name, std::string_view Value) {
  // An empty value is no header, by the header list's rules.
  if (Value.empty() || !SameText(Name, ContentLengthName)) return;
  const uint64_t Length = PlainLength(Value);
  if (Found && *Found != Length)
    throw EVQStompFrameError("Two content-length headers disagree; the stream cannot be trusted");
  Found = Length;
}

namespace {

// Only a line whose colon stands right after a name of that length can hold it.
void MergeContentLengthLine(std::optional<uint64_t>& Found, std::string_view Line) {
  constexpr size_t NameSize = ContentLengthName.size();
  if (Line.size() > NameSize && Line[NameSize] == ':')
    MergeContentLength(Found, Line.substr(0, NameSize), Line.substr(NameSize + 1));
}

}  // namespace

std::optional<uint64_t> FindContentLength(std::string_view HeaderBlock, bool CarriageReturns) {
  std::optional<uint64_t> Found;
  // The command line holds none.
  for (size_t End = HeaderBlock.find(LineEnd); End != std::string_view::npos;) {
    const size_t Start = End + 1;
    End = HeaderBlock.find(LineEnd, Start);
    const std::string_view Line = HeaderBlock.substr(Start, End == std::string_view::npos ? End : End - Start);
    MergeContentLengthLine(Found, WithoutCarriageReturn(Line, CarriageReturns));
  }
  return Found;
}

void TVQStompFrameReader::Restart() {
  FScanned = 0;
  FLineStart = 0;
  FBodyStart = 0;
  FBodyLength.reset();
}

void TVQStompFrameReader::CheckSize(size_t Size) const {
  if (Size > FMaxFrameSize)
    throw EVQStompFrameError("A frame from the broker holds more than " + SizeText(FMaxFrameSize) +
                             ", the largest allowed");
}

TFrameExtent TVQStompFrameReader::Measure(std::string_view Unread) {
  TFrameExtent Extent;
  if (FScanned == 0)
    Extent.Padding = static_cast<size_t>(std::find_if_not(Unread.begin(), Unread.end(), IsPadding) - Unread.begin());
  const std::string_view Frame = Unread.substr(Extent.Padding);
  Extent.Length = FindEnd(Frame);
  if (Extent.Length == 0) {
    CheckSize(Frame.size());
    // Only an ended header block has had its length checked against the limit.
    if (FBodyLength && HeaderBlockEnded()) Extent.Expected = CountedLength();
  } else {
    Restart();
  }
  return Extent;
}

// One walk over the header lines finds both the empty line and the content-length.
bool TVQStompFrameReader::ScanHeaderLines(std::string_view Frame) {
  for (;;) {
    const size_t End = Frame.find(LineEnd, FScanned);
    if (End == std::string_view::npos) {
      FScanned = Frame.size();
      return false;
    }
    const std::string_view Line = WithoutCarriageReturn(Frame.substr(FLineStart, End - FLineStart), FCarriageReturns);
    const bool Command = FLineStart == 0;
    FScanned = FLineStart = End + 1;
    if (Command) continue;
    if (Line.empty()) {
      FBodyStart = FLineStart;
      return true;
    }
    MergeContentLengthLine(FBodyLength, Line);
  }
}

size_t TVQStompFrameReader::FindEnd(std::string_view Frame) {
  if (!HeaderBlockEnded()) {
    if (!ScanHeaderLines(Frame)) return 0;
    if (FBodyLength) CheckSize(FBodyStart + std::min<uint64_t>(*FBodyLength, FMaxFrameSize) + 1);
  }
  if (!FBodyLength) {
    const size_t End = Frame.find(Nul, FScanned);
    if (End != std::string_view::npos) return End + 1;
    FScanned = Frame.size();
    return 0;
  }
  const size_t Length = CountedLength();
  if (Frame.size() < Length) return 0;
  if (Frame[Length - 1] != Nul)
    throw EVQStompFrameError("A counted body is not followed by NUL; the stream cannot be trusted");
  return Length;
}

}  // namespace vq
