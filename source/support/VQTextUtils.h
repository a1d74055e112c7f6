#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vq {

// ASCII case folding only: independent of the process locale and safe for any byte.
// Inline, since finding a header compares its name with every header of the frame.
inline bool SameText(std::string_view A, std::string_view B) noexcept {
  if (A.size() != B.size()) return false;
  // Names mostly come in the same spelling: one comparison settles them.
  if (A == B) return true;
  const auto Fold = [](char C) { return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 32) : C; };
  for (size_t I = 0; I < A.size(); ++I)
    if (Fold(A[I]) != Fold(B[I])) return false;
  return true;
}

// The integer rule shared by every unit: optional leading blanks, optional sign, then
// digits and nothing else; "$", "x" or "0x" (either case) select hexadecimal. The value
// must fit the target's signed range.
bool TryStrToInt64(std::string_view Text, int64_t& Value) noexcept;
bool TryStrToInt(std::string_view Text, int32_t& Value) noexcept;
int32_t StrToIntDef(std::string_view Text, int32_t Default) noexcept;
int64_t StrToInt64Def(std::string_view Text, int64_t Default) noexcept;
// Raises EConvertError naming the text.
int64_t StrToInt64(std::string_view Text);

// Drops leading and trailing bytes 0x00 to 0x20 (blanks, line ends, control bytes).
std::string_view TrimControl(std::string_view Text) noexcept;

// The parts of Text between Separator bytes; none for an empty text.
std::vector<std::string_view> SplitList(std::string_view Text, char Separator);

// For error messages: in double quotes, bytes below 0x20 as \xNN so that none hides or
// breaks the line.
std::string QuotedVisibly(std::string_view Text);

}  // namespace vq
