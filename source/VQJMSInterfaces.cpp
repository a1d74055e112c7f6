#include "VQJMSInterfaces.h"

#include <algorithm>

#include "VQTextUtils.h"

namespace vq {

TPrimitiveMap::TPrimitiveMap(const TStompHeaders& Headers) {
  FEntries.reserve(Headers.size());
  for (const auto& Header : Headers) FEntries.emplace_back(Header.Name, Header.Value);
}

// Name and value are kept apart, so a name holding "=" is found again like any other.
std::vector<TPrimitiveMap::TEntry>::iterator TPrimitiveMap::Find(std::string_view Name) {
  return std::find_if(FEntries.begin(), FEntries.end(),
                      [Name](const TEntry& Entry) { return SameText(Entry.first, Name); });
}

std::vector<TPrimitiveMap::TEntry>::const_iterator TPrimitiveMap::Find(std::string_view Name) const {
  return const_cast<TPrimitiveMap*>(this)->Find(Name);
}

std::string TPrimitiveMap::GetValue(std::string_view Name) const {
  const auto Existing = Find(Name);
  return Existing == FEntries.end() ? std::string() : Existing->second;
}

void TPrimitiveMap::SetValue(std::string_view Name, std::string_view Value) {
  const auto Existing = Find(Name);
  if (Value.empty()) {
    if (Existing != FEntries.end()) FEntries.erase(Existing);
  } else if (Existing != FEntries.end()) {
    Existing->first = Name;
    Existing->second = Value;
  } else {
    FEntries.emplace_back(Name, Value);
  }
}

bool TPrimitiveMap::ItemExists(std::string_view Name) const { return Find(Name) != FEntries.end(); }

void TPrimitiveMap::Remove(std::string_view Name) { SetValue(Name, {}); }

bool TPrimitiveMap::GetBoolean(std::string_view Name) const { return GetValue(Name) == "true"; }

void TPrimitiveMap::SetBoolean(std::string_view Name, bool Value) { SetValue(Name, Value ? "true" : "false"); }

uint8_t TPrimitiveMap::GetByte(std::string_view Name) const { return static_cast<uint8_t>(GetInt(Name)); }

void TPrimitiveMap::SetByte(std::string_view Name, uint8_t Value) { SetValue(Name, std::to_string(Value)); }

// A missing value reads as NUL rather than an arbitrary byte.
char TPrimitiveMap::GetChar(std::string_view Name) const {
  const auto Existing = Find(Name);
  return Existing == FEntries.end() ? '\0' : Existing->second.front();
}

void TPrimitiveMap::SetChar(std::string_view Name, char Value) { SetValue(Name, std::string_view(&Value, 1)); }

int32_t TPrimitiveMap::GetInt(std::string_view Name) const {
  const auto Existing = Find(Name);
  return Existing == FEntries.end() ? 0 : StrToIntDef(Existing->second, 0);
}

void TPrimitiveMap::SetInt(std::string_view Name, int32_t Value) { SetValue(Name, std::to_string(Value)); }

}  // namespace vq
