#include "transport/VQThread.h"

namespace vq {

TVQThread::TVQThread() : FThread(&TVQThread::Execute, this), FThreadId(FThread.get_id()) {}

TVQThread::~TVQThread() { TerminateAndWaitFor(); }

void TVQThread::Start() {
  std::lock_guard Guard(Lock);
  FStopped = Terminated();
  FWake.notify_all();
}

void TVQThread::Stop() {
  std::lock_guard Guard(Lock);
  FStopped = true;
}

bool TVQThread::Stopped() const { return FStopped || Terminated(); }

void TVQThread::TerminateAndWaitFor() {
  Terminate();
  if (!IsCurrentThread() && FThread.joinable()) FThread.join();
}

void TVQThread::Execute() {
  try {
    while (AwaitStart()) Step();
  } catch (...) {
    Terminate();
  }
}

// Parks while stopped; false once the thread is to end.
bool TVQThread::AwaitStart() {
  if (FStopped) {
    std::unique_lock Guard(Lock);
    FWake.wait(Guard, FTerminate.get_token(), [this] { return !FStopped; });
  }
  return !Terminated();
}

}  // namespace vq
