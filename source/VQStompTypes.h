#pragma once

#include <string>
#include <vector>

#include "VQExceptions.h"

namespace vq {

struct TStompHeaderItem {
  std::string Name;
  std::string Value;

  bool operator==(const TStompHeaderItem&) const = default;
};

using TStompHeaders = std::vector<TStompHeaderItem>;

class EVQStompError : public Exception {
public:
  using Exception::Exception;
};

class EVQStompClientConnectError : public EVQStompError {
public:
  using EVQStompError::EVQStompError;
};

}  // namespace vq
