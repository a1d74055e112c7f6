#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "VQExceptions.h"

namespace vq {

struct TStompHeaderItem {
  std::string Name;
  std::string Value;

  bool operator==(const TStompHeaderItem&) const = default;
};

using TStompHeaders = std::vector<TStompHeaderItem>;

// A header that is only looked at: name and value stay where they are.
struct TStompHeaderView {
  std::string_view Name;
  std::string_view Value;
};

class EVQStompError : public Exception {
public:
  using Exception::Exception;
};

class EVQStompClientConnectError : public EVQStompError {
public:
  using EVQStompError::EVQStompError;
};

}  // namespace vq
