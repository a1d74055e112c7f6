#include "VQJMSInterfaces.h"

#include "VQTextUtils.h"

namespace vq {

TPrimitiveMap::TPrimitiveMap(const TStompHeaders& Headers) : FEntries(Headers) {}

std::string TPrimitiveMap::GetValue(std::string_view Name) const {
  const auto Existing = FindHeader(FEntries, Name);
  return Existing == FEntries.end() ? std::string() : Existing->Value;
}

void TPrimitiveMap::SetValue(std::string_view Name, std::string_view Value) { StoreHeader(FEntries, Name, Value); }

bool TPrimitiveMap::ItemExists(std::string_view Name) const { return FindHeader(FEntries, Name) != FEntries.end(); }

void TPrimitiveMap::Remove(std::string_view Name) { SetValue(Name, {}); }

bool TPrimitiveMap::GetBoolean(std::string_view Name) const { return GetValue(Name) == "true"; }

void TPrimitiveMap::SetBoolean(std::string_view Name, bool Value) { SetValue(Name, Value ? "true" : "false"); }

uint8_t TPrimitiveMap::GetByte(std::string_view Name) const { return static_cast<uint8_t>(GetInt(Name)); }

void TPrimitiveMap::SetByte(std::string_view Name, uint8_t Value) { SetValue(Name, std::to_string(Value)); }

// A missing value reads as NUL rather than an arbitrary byte.
char TPrimitiveMap::GetChar(std::string_view Name) const {
  const auto Existing = FindHeader(FEntries, Name);
  return Existing == FEntries.end() ? '\0' : Existing->Value.front();
}

void TPrimitiveMap::SetChar(std::string_view Name, char Value) { SetValue(Name, std::string_view(&Value, 1)); }

int32_t TPrimitiveMap::GetInt(std::string_view Name) const {
  const auto Existing = FindHeader(FEntries, Name);
  return Existing == FEntries.end() ? 0 : StrToIntDef(Existing->Value, 0);
}

void TPrimitiveMap::SetInt(std::string_view Name, int32_t Value) { SetValue(Name, std::to_string(Value)); }

}  // namespace vq
