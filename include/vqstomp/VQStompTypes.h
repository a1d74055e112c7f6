#pragma once

/// @file
/// Frame headers: the header item, the header list and the rules for finding and storing.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <vqstomp/VQExceptions.h>

namespace vq {

/// One header of a frame, or one message property: a name and its value, both owned.
struct TStompHeaderItem {
  std::string Name;   ///< As it was stored or received; matched without regard to ASCII case.
  std::string Value;  ///< Never empty in a list kept by StoreHeader.

  /// Same name and value, letter case included.
  bool operator==(const TStompHeaderItem&) const = default;
};

/// Headers in the order they were first stored.
using TStompHeaders = std::vector<TStompHeaderItem>;

/// The rules shared by frame headers and message properties: names match without regard
/// to ASCII case and the first match counts; storing replaces in place under the new
/// name's spelling or appends, and an empty value removes instead.
///
/// FindHeader returns the first header named Name, or Headers.end().
TStompHeaders::iterator FindHeader(TStompHeaders& Headers, std::string_view Name);
/// The same for a list that is only read.
TStompHeaders::const_iterator FindHeader(const TStompHeaders& Headers, std::string_view Name);
/// Stores Value under Name by the rules of FindHeader: replaces in place, appends, or
/// removes when Value is empty.
void StoreHeader(TStompHeaders& Headers, std::string_view Name, std::string_view Value);

/// A header that is only looked at: name and value stay where they are.
struct TStompHeaderView {
  std::string_view Name;   ///< The header's name, not owned.
  std::string_view Value;  ///< Its value, not owned; an empty one is not sent.
};

/// StoreHeader's rules for a list of views, such as the headers of a frame about to be
/// encoded: Name and Value must outlive the list.
void StoreHeader(std::vector<TStompHeaderView>& Headers, std::string_view Name, std::string_view Value);

/// The protocol versions spoken, as the CONNECTED frame's "version" names them.
enum class TStompVersion : uint8_t { V1_0, V1_1, V1_2 };
/// "1.0", "1.1" or "1.2".
std::string_view VersionName(TStompVersion Version);
/// The version named Name ("1.0", "1.1", "1.2"), or none.
std::optional<TStompVersion> VersionNamed(std::string_view Name);

}  // namespace vq
