#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <vqstomp/VQExceptions.h>

namespace vq {

struct TStompHeaderItem {
  std::string Name;
  std::string Value;

  bool operator==(const TStompHeaderItem&) const = default;
};

using TStompHeaders = std::vector<TStompHeaderItem>;

// The rules shared by frame headers and message properties: names match without regard
// to ASCII case and the first match counts; storing replaces in place under the new
// name's spelling or appends, and an empty value removes instead.
TStompHeaders::iterator FindHeader(TStompHeaders& Headers, std::string_view Name);
TStompHeaders::const_iterator FindHeader(const TStompHeaders& Headers, std::string_view Name);
void StoreHeader(TStompHeaders& Headers, std::string_view Name, std::string_view Value);

// A header that is only looked at: name and value stay where they are.
struct TStompHeaderView {
  std::string_view Name;
  std::string_view Value;
};

}  // namespace vq
