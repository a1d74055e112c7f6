#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include <vqstomp/VQExceptions.h>

#include "transport/VQCommInterfaces.h"

namespace vq {

// Keeps the heart-beats agreed for one connection on a thread of its own, which sleeps
// until the next thing is due: a beat when this side has written nothing for half the
// send interval (so one late beat does not look like silence to the broker), or the
// verdict when the broker has sent nothing for twice the receive interval plus a margin.
// Bytes that wait unread while nothing reads are taken first (the adapter's Connected),
// so an application that reads nothing for a while is not taken for a silent broker.
class TVQStompHeartBeat {
public:
  using TClock = std::chrono::steady_clock;
  using TInterval = std::chrono::milliseconds;

  // Writes one heart-beat; false when the connection failed, which ends the thread.
  using TBeat = std::function<bool()>;
  // Told once that the broker fell silent; the thread ends after it.
  using TSilence = std::function<void(const Exception& Error)>;

  // Starts tracking the adapter's activity and the thread. Intervals of 0: none that way.
  TVQStompHeartBeat(IStompCommAdapter& Adapter, TInterval Send, TInterval Receive, TBeat Beat, TSilence Silence);
  // Stops and joins the thread; on the thread itself (from Silence or Beat) it leaves the
  // thread to end by itself, touching nothing of this object.
  ~TVQStompHeartBeat();
  TVQStompHeartBeat(const TVQStompHeartBeat&) = delete;
  TVQStompHeartBeat& operator=(const TVQStompHeartBeat&) = delete;

  // How long the broker may be silent before the connection counts as lost.
  static TInterval AllowedSilence(TInterval Receive) { return 2 * Receive + Receive / 4; }

private:
  void Run();

  IStompCommAdapter& FAdapter;
  const TInterval FBeatAfter;
  const TInterval FAllowedSilence;
  const TBeat FBeat;
  const TSilence FSilence;
  std::mutex FLock;
  std::condition_variable FWake;
  bool FStop = false;
  std::thread FThread;
};

}  // namespace vq
