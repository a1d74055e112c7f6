#include "support/VQUnicode.h"

#include <cstdint>
#include <type_traits>

namespace vq {

namespace {

constexpr char32_t ReplacementChar = 0xFFFD;

// Well-formed sequences by lead byte: the length, the lead's payload bits, and the range
// of the second byte, which rules out overlong forms, surrogates and values above U+10FFFF.
struct TLeadRule {
  size_t Length;
  unsigned char PayloadMask;
  unsigned char SecondLow;
  unsigned char SecondHigh;
};

TLeadRule LeadRule(unsigned char Lead) {
  if (Lead < 0xC2) return {0, 0, 0, 0};
  if (Lead < 0xE0) return {2, 0x1F, 0x80, 0xBF};
  if (Lead == 0xE0) return {3, 0x0F, 0xA0, 0xBF};
  if (Lead == 0xED) return {3, 0x0F, 0x80, 0x9F};
  if (Lead < 0xF0) return {3, 0x0F, 0x80, 0xBF};
  if (Lead == 0xF0) return {4, 0x07, 0x90, 0xBF};
  if (Lead < 0xF4) return {4, 0x07, 0x80, 0xBF};
  if (Lead == 0xF4) return {4, 0x07, 0x80, 0x8F};
  return {0, 0, 0, 0};
}

// Decodes one code point at Pos and advances past it. An ill-formed sequence gives false
// and is passed over as far as it could still have begun a well-formed one, at least one
// byte: the maximal subpart that becomes one U+FFFD.
bool DecodeUtf8(std::string_view Text, size_t& Pos, char32_t& CodePoint) {
  const auto Lead = static_cast<unsigned char>(Text[Pos++]);
  if (Lead < 0x80) {
    CodePoint = Lead;
    return true;
  }
  const TLeadRule Rule = LeadRule(Lead);
  if (Rule.Length == 0) return false;
  CodePoint = Lead & Rule.PayloadMask;
  for (size_t I = 1; I < Rule.Length; ++I, ++Pos) {
    if (Pos == Text.size()) return false;
    const auto Byte = static_cast<unsigned char>(Text[Pos]);
    const unsigned char Low = I == 1 ? Rule.SecondLow : 0x80;
    const unsigned char High = I == 1 ? Rule.SecondHigh : 0xBF;
    if (Byte < Low || Byte > High) return false;
    CodePoint = (CodePoint << 6) | (Byte & 0x3F);
  }
  return true;
}

void AppendUtf16(std::u16string& Out, char32_t CodePoint) {
  if (CodePoint < 0x10000) {
    Out += static_cast<char16_t>(CodePoint);
  } else {
    CodePoint -= 0x10000;
    Out += static_cast<char16_t>(0xD800 + (CodePoint >> 10));
    Out += static_cast<char16_t>(0xDC00 + (CodePoint & 0x3FF));
  }
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
// one: a loop without early exit, which the compiler vectorises. The note is as wide as
// a unit: a wider one would cost unpacking.
template <typename TOut, typename TIn>
bool TryAscii(std::basic_string_view<TIn> Text, std::basic_string<TOut>& Out) {
  Out.resize(Text.size());
  TOut* const Target = Out.data();
  std::make_unsigned_t<TIn> Seen = 0;
  for (size_t I = 0; I < Text.size(); ++I) {
    const auto Unit = static_cast<std::make_unsigned_t<TIn>>(Text[I]);
    Seen |= Unit;
    Target[I] = static_cast<TOut>(Unit);
  }
  return Seen < 0x80;
}

bool IsHighSurrogate(char16_t Unit) { return Unit >= 0xD800 && Unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t Unit) { return Unit >= 0xDC00 && Unit <= 0xDFFF; }

enum class TIllFormed { Reject, Replace };

std::u16string DecodeUtf8Text(std::string_view Text, TIllFormed Handling) {
  std::u16string Result;
  if (TryAscii(Text, Result)) return Result;
  Result.clear();
  size_t Pos = 0;
  while (Pos < Text.size()) {
    char32_t CodePoint = 0;
    if (!DecodeUtf8(Text, Pos, CodePoint)) {
      if (Handling == TIllFormed::Reject) return {};
      CodePoint = ReplacementChar;
    }
    AppendUtf16(Result, CodePoint);
  }
  return Result;
}

bool IsWellFormedUtf8(std::string_view Text) {
  unsigned char Seen = 0;
  for (const char C : Text) Seen |= static_cast<unsigned char>(C);
  if (Seen < 0x80) return true;
  char32_t CodePoint = 0;
  for (size_t Pos = 0; Pos < Text.size();)
    if (!DecodeUtf8(Text, Pos, CodePoint)) return false;
  return true;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view Text) { return DecodeUtf8Text(Text, TIllFormed::Reject); }

std::u16string Utf8ToUtf16Replacing(std::string_view Text) { return DecodeUtf8Text(Text, TIllFormed::Replace); }

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

// Ill-formed text is rare: it takes the way through UTF-16, which marks it.
std::string WellFormedUtf8(std::string Text) {
  if (IsWellFormedUtf8(Text)) return Text;
  return Utf16ToUtf8(Utf8ToUtf16Replacing(Text));
}

}  // namespace vq
