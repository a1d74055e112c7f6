#include "stomp/VQStompHeartBeat.h"

#include <algorithm>
#include <string>

namespace vq {

TVQStompHeartBeat::TVQStompHeartBeat(IStompCommAdapter& Adapter, TInterval Send, TInterval Receive, TBeat Beat,
                                     TSilence Silence)
    : FAdapter(Adapter),
      FBeatAfter(Send / 2),
      FAllowedSilence(Receive.count() > 0 ? AllowedSilence(Receive) : TInterval::zero()),
      FBeat(std::move(Beat)),
      FSilence(std::move(Silence)) {
  FAdapter.TrackActivity();
  FThread = std::thread([this] { Run(); });
}

TVQStompHeartBeat::~TVQStompHeartBeat() {
  {
    std::lock_guard Guard(FLock);
    FStop = true;
  }
  FWake.notify_all();
  if (FThread.get_id() == std::this_thread::get_id())
    FThread.detach();
  else
    FThread.join();
}

// Each pass either acts or sleeps until the earlier of the two things due.
void TVQStompHeartBeat::Run() {
  std::unique_lock Guard(FLock);
  while (!FStop) {
    const auto Now = TClock::now();
    auto Next = TClock::time_point::max();
    if (FBeatAfter.count() > 0) {
      const auto Due = FAdapter.LastWritten() + FBeatAfter;
      if (Now >= Due) {
        Guard.unlock();
        if (!FBeat()) return;
        Guard.lock();
        continue;
      }
      Next = Due;
    }
    if (FAllowedSilence.count() > 0) {
      const auto Silent = FAdapter.LastReceived() + FAllowedSilence;
      if (Now >= Silent) {
        Guard.unlock();
        // Bytes may wait unread while nothing reads: taking them tells whether the broker spoke.
        FAdapter.Connected();
        if (FAdapter.LastReceived() + FAllowedSilence > TClock::now()) {
          Guard.lock();
          continue;
        }
        const auto Heard = std::chrono::duration_cast<TInterval>(Now - FAdapter.LastReceived());
        FSilence(EIdTimeout("The broker sent nothing for " + std::to_string(Heard.count()) +
                            " ms, more than twice its heart-beat interval: the connection is taken as lost"));
        return;
      }
      Next = std::min(Next, Silent);
    }
    FWake.wait_until(Guard, Next, [this] { return FStop; });
  }
}

}  // namespace vq
