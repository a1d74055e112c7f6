#include <vqstomp/VQJMSInterfaces.h>

#include <charconv>
#include <iterator>

#include "support/VQTextUtils.h"

namespace vq {

TPrimitiveMap::TPrimitiveMap(const TStompHeaders& Headers) : FEntries(Headers) {}

TPrimitiveMap::TPrimitiveMap(TStompHeaders&& Headers) : FEntries(std::move(Headers)) {}

std::string TPrimitiveMap::GetValue(std::string_view Name) const { return std::string(ValueOf(Name)); }

void TPrimitiveMap::SetValue(std::string_view Name, std::string_view Value) { StoreHeader(FEntries, Name, Value); }

bool TPrimitiveMap::ItemExists(std::string_view Name) const { return FindHeader(FEntries, Name) != FEntries.end(); }

void TPrimitiveMap::Remove(std::string_view Name) { SetValue(Name, {}); }

bool TPrimitiveMap::GetBoolean(std::string_view Name) const { return GetValue(Name) == "true"; }

void TPrimitiveMap::SetBoolean(std::string_view Name, bool Value) { SetValue(Name, Value ? "true" : "false"); }

uint8_t TPrimitiveMap::GetByte(std::string_view Name) const { return static_cast<uint8_t>(GetInt(Name)); }

void TPrimitiveMap::SetByte(std::string_view Name, uint8_t Value) { SetValue(Name, std::to_string(Value)); }

// A missing value reads as NUL rather than an arbitrary byte.
char TPrimitiveMap::GetChar(std::string_view Name) const {
  const std::string_view Value = ValueOf(Name);
  return Value.empty() ? '\0' : Value.front();
}

void TPrimitiveMap::SetChar(std::string_view Name, char Value) { SetValue(Name, std::string_view(&Value, 1)); }

int32_t TPrimitiveMap::GetInt(std::string_view Name) const { return StrToIntDef(ValueOf(Name), 0); }

void TPrimitiveMap::SetInt(std::string_view Name, int32_t Value) { SetValue(Name, std::to_string(Value)); }

int64_t TPrimitiveMap::GetLong(std::string_view Name) const { return StrToInt64Def(ValueOf(Name), 0); }

void TPrimitiveMap::SetLong(std::string_view Name, int64_t Value) { SetValue(Name, std::to_string(Value)); }

double TPrimitiveMap::GetDouble(std::string_view Name) const {
  const std::string_view Text = ValueOf(Name);
  double Value = 0.0;
  const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  return Error == std::errc() && End == Text.data() + Text.size() ? Value : 0.0;
}

void TPrimitiveMap::SetDouble(std::string_view Name, double Value) {
  // Ample for the longest shortest form, such as "-2.2250738585072014e-308".
  char Text[32];
  const auto Written = std::to_chars(std::begin(Text), std::end(Text), Value);
  SetValue(Name, std::string_view(Text, static_cast<size_t>(Written.ptr - Text)));
}

std::vector<std::string> TPrimitiveMap::GetNames() const {
  std::vector<std::string> Names;
  Names.reserve(FEntries.size());
  for (const auto& Entry : FEntries) Names.push_back(Entry.Name);
  return Names;
}

std::string_view TPrimitiveMap::ValueOf(std::string_view Name) const {
  const auto Existing = FindHeader(FEntries, Name);
  return Existing == FEntries.end() ? std::string_view() : std::string_view(Existing->Value);
}

}  // namespace vq
