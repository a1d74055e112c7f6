#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>

namespace vq {

// Runs Call on the application's main thread, at its next CheckSynchronize, and waits
// until it has run; an exception it throws is rethrown here. On the main thread itself
// Call runs at once.
//
// When Abandon is requested while Call still waits in the queue, Call is dropped and
// never runs; when Call has already begun, it is left to finish on the main thread (so
// that a Call which ends the waiting thread cannot deadlock). Either way the result is
// false; true means Call ran to its end.
bool Synchronize(std::function<void()> Call, std::stop_token Abandon = {});

// Runs the queued calls on the calling thread, which is to be the application's main
// thread, waiting up to Timeout ms for a first one. Returns whether any call ran.
bool CheckSynchronize(int32_t Timeout = 0);

}  // namespace vq
