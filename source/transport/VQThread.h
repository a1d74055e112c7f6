#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>

namespace vq {

// A background thread that calls Step over and over while started, parks while stopped
// and ends when terminated. It is created stopped: Step first runs after Start.
//
// A subclass whose Step uses the subclass's own members must call TerminateAndWaitFor
// in its destructor, so that no Step runs while those members are destroyed.
class TVQThread {
public:
  TVQThread();
  virtual ~TVQThread();
  TVQThread(const TVQThread&) = delete;
  TVQThread& operator=(const TVQThread&) = delete;

  // Resumes calling Step; a terminated thread stays stopped.
  void Start();
  // The Step in progress runs to its end; the thread parks afterwards.
  void Stop();
  // Terminated, or stopped.
  bool Stopped() const;
  void Terminate() { FTerminate.request_stop(); }
  bool Terminated() const { return FTerminate.stop_requested(); }
  // Requested on termination: lets a wait elsewhere give up when the thread must end.
  std::stop_token GetStopToken() const { return FTerminate.get_token(); }
  // Terminates and joins. Called from a Step on this very thread it cannot wait for
  // itself: the thread then ends when that Step returns.
  void TerminateAndWaitFor();
  bool IsCurrentThread() const { return std::this_thread::get_id() == FThreadId; }

protected:
  // One unit of work. An exception escaping it ends the thread.
  virtual void Step() = 0;

  // Guards the stopped flag and the start/stop decisions.
  mutable std::recursive_mutex Lock;

private:
  void Execute();
  bool AwaitStart();

  // Written under Lock, so that a Start cannot slip between the test and the parking;
  // read without it.
  std::atomic<bool> FStopped{true};
  std::stop_source FTerminate;
  std::condition_variable_any FWake;
  std::thread FThread;  // after the fields above: the body may run as soon as it exists
  std::thread::id FThreadId;
};

}  // namespace vq
