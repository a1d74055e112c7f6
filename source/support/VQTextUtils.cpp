#include "support/VQTextUtils.h"

#include <limits>

#include <vqstomp/VQExceptions.h>

namespace vq {

namespace {

char FoldAscii(char C) noexcept { return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 32) : C; }

int DigitValue(char C) noexcept {
  if (C >= '0' && C <= '9') return C - '0';
  const char Upper = FoldAscii(C);
  if (Upper >= 'A' && Upper <= 'F') return Upper - 'A' + 10;
  return 99;
}

// Strips a hexadecimal prefix, reporting whether there was one.
bool TakeHexPrefix(std::string_view& Text) noexcept {
  if (Text.starts_with('$') || Text.starts_with('x') || Text.starts_with('X')) {
    Text.remove_prefix(1);
    return true;
  }
  if (Text.size() >= 2 && Text[0] == '0' && FoldAscii(Text[1]) == 'X') {
    Text.remove_prefix(2);
    return true;
  }
  return false;
}

// Up to 18 decimal digits cannot overflow, so the checks of the general loop are not
// needed: this is the path of every number a broker sends (timestamps, priorities).
bool TryShortDecimal(std::string_view Digits, bool Negative, int64_t& Value) noexcept {
  int64_t Result = 0;
  for (const char C : Digits) {
    const auto Digit = static_cast<unsigned>(C - '0');
    if (Digit > 9) return false;
    Result = Result * 10 + static_cast<int64_t>(Digit);
  }
  Value = Negative ? -Result : Result;
  return true;
}

constexpr size_t ShortDecimalDigits = 18;

}  // namespace

bool TryStrToInt64(std::string_view Text, int64_t& Value) noexcept {
  while (Text.starts_with(' ')) Text.remove_prefix(1);
  const bool Negative = Text.starts_with('-');
  if (Negative || Text.starts_with('+')) Text.remove_prefix(1);
  const int Base = TakeHexPrefix(Text) ? 16 : 10;
  if (Text.empty()) return false;
  if (Base == 10 && Text.size() <= ShortDecimalDigits) return TryShortDecimal(Text, Negative, Value);
  // Accumulate as a negative number so that the minimum value fits too.
  constexpr int64_t Min = std::numeric_limits<int64_t>::min();
  int64_t Result = 0;
  for (char C : Text) {
    const int Digit = DigitValue(C);
    if (Digit >= Base) return false;
    if (Result < (Min + Digit) / Base) return false;
    Result = Result * Base - Digit;
  }
  if (!Negative) {
    if (Result == Min) return false;
    Result = -Result;
  }
  Value = Result;
  return true;
}

bool TryStrToInt(std::string_view Text, int32_t& Value) noexcept {
  int64_t Wide = 0;
  if (!TryStrToInt64(Text, Wide) || Wide < std::numeric_limits<int32_t>::min() ||
      Wide > std::numeric_limits<int32_t>::max())
    return false;
  Value = static_cast<int32_t>(Wide);
  return true;
}

int32_t StrToIntDef(std::string_view Text, int32_t Default) noexcept {
  int32_t Value = 0;
  return TryStrToInt(Text, Value) ? Value : Default;
}

int64_t StrToInt64Def(std::string_view Text, int64_t Default) noexcept {
  int64_t Value = 0;
  return TryStrToInt64(Text, Value) ? Value : Default;
}

int64_t StrToInt64(std::string_view Text) {
  int64_t Value = 0;
  if (!TryStrToInt64(Text, Value))
    throw EConvertError("'" + std::string(Text) + "' is not a valid integer value");
  return Value;
}

std::vector<std::string_view> SplitList(std::string_view Text, char Separator) {
  std::vector<std::string_view> Parts;
  if (Text.empty()) return Parts;
  for (size_t Start = 0;;) {
    const size_t End = Text.find(Separator, Start);
    Parts.push_back(Text.substr(Start, End == std::string_view::npos ? End : End - Start));
    if (End == std::string_view::npos) return Parts;
    Start = End + 1;
  }
}

std::string_view TrimControl(std::string_view Text) noexcept {
  while (!Text.empty() && static_cast<unsigned char>(Text.front()) <= 0x20) Text.remove_prefix(1);
  while (!Text.empty() && static_cast<unsigned char>(Text.back()) <= 0x20) Text.remove_suffix(1);
  return Text;
}

std::string QuotedVisibly(std::string_view Text) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string Result = "\"";
  for (const char C : Text) {
    const auto Byte = static_cast<unsigned char>(C);
    if (Byte < 0x20) {
      Result.append("\\x").append(1, Hex[Byte >> 4]).append(1, Hex[Byte & 15]);
    } else {
      Result += C;
    }
  }
  return Result + "\"";
}

}  // namespace vq
