#include "transport/VQSynchronize.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace vq {

namespace {

enum class TCallState { Queued, Running, Done };

// Shared by the waiting thread and the main thread, so that either may leave first.
struct TQueuedCall {
  std::function<void()> Call;
  std::exception_ptr Error;
  TCallState State = TCallState::Queued;
};

struct TCallQueue {
  std::mutex Lock;
  std::condition_variable_any Changed;
  std::deque<std::shared_ptr<TQueuedCall>> Calls;
};

TCallQueue& Queue() {
  static TCallQueue Instance;
  return Instance;
}

// Static initialisation runs on the main thread.
const std::thread::id MainThreadId = std::this_thread::get_id();

std::shared_ptr<TQueuedCall> TakeNext(TCallQueue& Queue) {
  std::lock_guard Guard(Queue.Lock);
  if (Queue.Calls.empty()) return nullptr;
  auto Item = std::move(Queue.Calls.front());
  Queue.Calls.pop_front();
  Item->State = TCallState::Running;
  return Item;
}

void Run(TCallQueue& Queue, TQueuedCall& Item) {
  std::exception_ptr Error;
  try {
    Item.Call();
  } catch (...) {
    Error = std::current_exception();
  }
  std::lock_guard Guard(Queue.Lock);
  Item.Error = std::move(Error);
  Item.State = TCallState::Done;
  Queue.Changed.notify_all();
}

}  // namespace

bool Synchronize(std::function<void()> Call, std::stop_token Abandon) {
  if (std::this_thread::get_id() == MainThreadId) {
    Call();
    return true;
  }
  TCallQueue& Calls = Queue();
  auto Item = std::make_shared<TQueuedCall>();
  Item->Call = std::move(Call);
  std::unique_lock Guard(Calls.Lock);
  Calls.Calls.push_back(Item);
  Calls.Changed.notify_all();
  if (!Calls.Changed.wait(Guard, Abandon, [&] { return Item->State == TCallState::Done; })) {
    if (Item->State == TCallState::Queued) std::erase(Calls.Calls, Item);
    return false;
  }
  // Taken out under the lock: the main thread may be releasing the call meanwhile.
  if (const std::exception_ptr Error = std::exchange(Item->Error, nullptr)) {
    Guard.unlock();
    std::rethrow_exception(Error);
  }
  return true;
}

bool CheckSynchronize(int32_t Timeout) {
  TCallQueue& Calls = Queue();
  if (Timeout > 0) {
    std::unique_lock Guard(Calls.Lock);
    Calls.Changed.wait_for(Guard, std::chrono::milliseconds(Timeout), [&] { return !Calls.Calls.empty(); });
  }
  bool Ran = false;
  while (const auto Item = TakeNext(Calls)) {
    Run(Calls, *Item);
    Ran = true;
  }
  return Ran;
}

}  // namespace vq
