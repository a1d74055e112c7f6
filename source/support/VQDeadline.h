#pragma once

#include <chrono>
#include <cstdint>

namespace vq {

// The end of a wait of Timeout ms from now, counted as every Receive counts it: 0 or less
// means no limit.
class TDeadline {
public:
  using TClock = std::chrono::steady_clock;

  explicit TDeadline(int32_t Timeout)
      : FUnlimited(Timeout <= 0), FAt(TClock::now() + std::chrono::milliseconds(FUnlimited ? 0 : Timeout)) {}

  bool IsUnlimited() const { return FUnlimited; }
  TClock::time_point At() const { return FAt; }
  bool Expired() const { return !FUnlimited && Wait() == 0; }
  // What is left to hand on as a time-out: 0 for no limit, else at least 1 while any
  // time remains.
  int32_t Wait() const {
    if (FUnlimited) return 0;
    const auto Left = std::chrono::ceil<std::chrono::milliseconds>(FAt - TClock::now()).count();
    return Left > 0 ? static_cast<int32_t>(Left) : 0;
  }

private:
  bool FUnlimited;
  TClock::time_point FAt;
};

}  // namespace vq
