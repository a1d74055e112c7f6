#include "VQUnicode.h"

#include <cstdint>
#include <type_traits>

namespace vq {

namespace {

constexpr char32_t ReplacementChar = 0xFFFD;

bool IsContinuation(unsigned char Byte) { return (Byte & 0xC0) == 0x80; }

// Decodes one code point at Pos and advances it; false when the input is ill-formed.
bool DecodeUtf8(std::string_view Text, size_t& Pos, char32_t& CodePoint) {
  const auto Lead = static_cast<unsigned char>(Text[Pos]);
  size_t Length = 0;
  char32_t Min = 0;
  if (Lead < 0x80) {
    CodePoint = Lead;
    ++Pos;
    return true;
  } else if ((Lead & 0xE0) == 0xC0) {
    Length = 2, Min = 0x80, CodePoint = Lead & 0x1F;
  } else if ((Lead & 0xF0) == 0xE0) {
    Length = 3, Min = 0x800, CodePoint = Lead & 0x0F;
  } else if ((Lead & 0xF8) == 0xF0) {
    Length = 4, Min = 0x10000, CodePoint = Lead & 0x07;
  } else {
    return false;
  }
  if (Text.size() - Pos < Length) return false;
  for (size_t I = 1; I < Length; ++I) {
    const auto Byte = static_cast<unsigned char>(Text[Pos + I]);
    if (!IsContinuation(Byte)) return false;
    CodePoint = (CodePoint << 6) | (Byte & 0x3F);
  }
  if (CodePoint < Min || CodePoint > 0x10FFFF || (CodePoint >= 0xD800 && CodePoint <= 0xDFFF))
    return false;
  Pos += Length;
  return true;
}

void AppendUtf8(std::string& Out, char32_t CodePoint) {
  if (CodePoint < 0x80) {
    Out += static_cast<char>(CodePoint);
  } else if (CodePoint < 0x800) {
    Out += static_cast<char>(0xC0 | (CodePoint >> 6));
    Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
  } else if (CodePoint < 0x10000) {
    Out += static_cast<char>(0xE0 | (CodePoint >> 12));
    Out += static_cast<char>(0x80 | ((CodePoint >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
  } else {
    Out += static_cast<char>(0xF0 | (CodePoint >> 18));
    Out += static_cast<char>(0x80 | ((CodePoint >> 12) & 0x3F));
    Out += static_cast<char>(0x80 | ((CodePoint >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
  }
}

// Copies every unit across, noting whether all were below 0x80 and so convert one to
// one: a loop without early exit, which the compiler vectorises.
template <typename TOut, typename TIn>
bool TryAscii(std::basic_string_view<TIn> Text, std::basic_string<TOut>& Out) {
  Out.resize(Text.size());
  TOut* const Target = Out.data();
  uint32_t Seen = 0;
  for (size_t I = 0; I < Text.size(); ++I) {
    const auto Unit = static_cast<std::make_unsigned_t<TIn>>(Text[I]);
    Seen |= Unit;
    Target[I] = static_cast<TOut>(Unit);
  }
  return Seen < 0x80;
}

bool IsHighSurrogate(char16_t Unit) { return Unit >= 0xD800 && Unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t Unit) { return Unit >= 0xDC00 && Unit <= 0xDFFF; }

}  // namespace

std::u16string Utf8ToUtf16(std::string_view Text) {
  std::u16string Result;
  if (TryAscii(Text, Result)) return Result;
  Result.clear();
  size_t Pos = 0;
  while (Pos < Text.size()) {
    char32_t CodePoint = 0;
    if (!DecodeUtf8(Text, Pos, CodePoint)) return {};
    if (CodePoint < 0x10000) {
      Result += static_cast<char16_t>(CodePoint);
    } else {
      CodePoint -= 0x10000;
      Result += static_cast<char16_t>(0xD800 + (CodePoint >> 10));
      Result += static_cast<char16_t>(0xDC00 + (CodePoint & 0x3FF));
    }
  }
  return Result;
}

std::string Utf16ToUtf8(std::u16string_view Text) {
  std::string Result;
  if (TryAscii(Text, Result)) return Result;
  Result.clear();
  for (size_t I = 0; I < Text.size(); ++I) {
    const char16_t Unit = Text[I];
    if (IsHighSurrogate(Unit) && I + 1 < Text.size() && IsLowSurrogate(Text[I + 1])) {
      AppendUtf8(Result, 0x10000 + ((char32_t(Unit) - 0xD800) << 10) + (char32_t(Text[I + 1]) - 0xDC00));
      ++I;
    } else if (IsHighSurrogate(Unit) || IsLowSurrogate(Unit)) {
      AppendUtf8(Result, ReplacementChar);
    } else {
      AppendUtf8(Result, Unit);
    }
  }
  return Result;
}

}  // namespace vq
