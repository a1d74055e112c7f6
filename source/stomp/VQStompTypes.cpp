#include <vqstomp/VQStompTypes.h>

#include <algorithm>

#include "support/VQTextUtils.h"

namespace vq {

namespace {

template <typename THeaders>
typename THeaders::iterator FindIn(THeaders& Headers, std::string_view Name) {
  return std::find_if(Headers.begin(), Headers.end(), [Name](const auto& Item) { return SameText(Item.Name, Name); });
}

// Owned strings and views alike.
template <typename THeaders>
void StoreIn(THeaders& Headers, std::string_view Name, std::string_view Value) {
  const auto Existing = FindIn(Headers, Name);
  if (Value.empty()) {
    if (Existing != Headers.end()) Headers.erase(Existing);
  } else if (Existing != Headers.end()) {
    Existing->Name = Name;
    Existing->Value = Value;
  } else {
    auto& Added = Headers.emplace_back();
    Added.Name = Name;
    Added.Value = Value;
  }
}

}  // namespace

TStompHeaders::iterator FindHeader(TStompHeaders& Headers, std::string_view Name) { return FindIn(Headers, Name); }

TStompHeaders::const_iterator FindHeader(const TStompHeaders& Headers, std::string_view Name) {
  return FindHeader(const_cast<TStompHeaders&>(Headers), Name);
}

void StoreHeader(TStompHeaders& Headers, std::string_view Name, std::string_view Value) {
  StoreIn(Headers, Name, Value);
}

void StoreHeader(std::vector<TStompHeaderView>& Headers, std::string_view Name, std::string_view Value) {
  StoreIn(Headers, Name, Value);
}

std::string_view VersionName(TStompVersion Version) {
  switch (Version) {
    case TStompVersion::V1_0: return "1.0";
    case TStompVersion::V1_1: return "1.1";
    case TStompVersion::V1_2: return "1.2";
  }
  return "1.0";
}

std::optional<TStompVersion> VersionNamed(std::string_view Name) {
  for (const auto Version : {TStompVersion::V1_0, TStompVersion::V1_1, TStompVersion::V1_2})
    if (VersionName(Version) == Name) return Version;
  return std::nullopt;
}

}  // namespace vq
