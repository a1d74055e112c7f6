#include "messaging/VQFailover.h"

#include <algorithm>
#include <exception>
#include <random>

#include <vqstomp/VQStompCustomClient.h>

namespace vq {

TVQFailover::TVQFailover(TVQStompCustomClient& Client, std::vector<TVQBrokerAddress> Brokers,
                         TVQReconnectOptions Options, TVQFailoverSteps Steps)
    : FClient(Client), FBrokers(std::move(Brokers)), FOptions(std::move(Options)), FSteps(std::move(Steps)) {
  if (FBrokers.empty()) throw EVQCommError("Failover needs at least one broker");
  FThread = std::thread([this] { Run(); });
}

TVQFailover::~TVQFailover() {
  Stop();
  if (FThread.joinable()) FThread.detach();
}

std::string TVQFailover::CurrentBroker() const {
  std::lock_guard Guard(FLock);
  return FBrokers[FCurrent].Text();
}

void TVQFailover::ConnectFirst() {
  std::exception_ptr Failure;
  for (const size_t Index : RoundOrder()) {
    try {
      ConnectTo(Index);
    } catch (const Exception&) {
      Failure = std::current_exception();
      continue;
    }
    {
      std::lock_guard Guard(FLock);
      FCurrent = Index;
    }
    SetState(TState::Up);
    return;
  }
  std::rethrow_exception(Failure);
}

void TVQFailover::Interrupt(const Exception& Cause) {
  std::lock_guard Guard(FLock);
  if (FState == TState::Resuming) FLostAgain = true;
  if (FState != TState::Up || FStopping) return;
  FCause = Cause.what();
  FState = TState::Resuming;
  FChanged.notify_all();
}

bool TVQFailover::AwaitUp(int32_t Timeout) {
  if (IsUp()) return true;
  std::unique_lock Guard(FLock);
  const auto Settled = [this] { return FState != TState::Resuming; };
  if (Timeout <= 0)
    FChanged.wait(Guard, Settled);
  else
    FChanged.wait_for(Guard, std::chrono::milliseconds(Timeout), Settled);
  return IsUp();
}

void TVQFailover::Stop() {
  {
    std::lock_guard Guard(FLock);
    FStopping = true;
  }
  SetState(TState::Ended);
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

// The client's waits outlast a loss only while a reconnection may follow.
void TVQFailover::SetState(TState State) {
  {
    std::lock_guard Guard(FLock);
    FState = State;
    FChanged.notify_all();
  }
  FClient.SetResumable(State != TState::Ended);
}

void TVQFailover::Run() {
  std::unique_lock Guard(FLock);
  for (;;) {
    FChanged.wait(Guard, [this] { return FStopping || FState == TState::Resuming; });
    if (FStopping) return;
    const EVQStompConnectionLostError Cause("The connection to " + FBrokers[FCurrent].Text() + " was lost (" +
                                            FCause + ")");
    Guard.unlock();
    FSteps.Interrupted(Cause);
    std::string LastFailure = FCause;
    if (Reconnect(LastFailure)) {
      FSteps.Resumed(CurrentBroker());
    } else if (!Ending()) {
      SetState(TState::Ended);
      FSteps.GaveUp(EVQStompConnectionLostError("Gave up reconnecting after " +
                                                std::to_string(FOptions.MaxAttempts) +
                                                " attempts; the last failed: " + LastFailure));
    }
    Guard.lock();
  }
}

bool TVQFailover::Reconnect(std::string& LastFailure) {
  auto Delay = FOptions.InitialDelay;
  int32_t Attempts = 0;
  for (;;) {
    for (const size_t Index : RoundOrder()) {
      if (Ending() || (FOptions.MaxAttempts >= 0 && Attempts++ >= FOptions.MaxAttempts)) return false;
      if (Attempt(Index, LastFailure)) return true;
    }
    if (!Pause(Delay)) return false;
    const auto Grown = std::chrono::duration_cast<std::chrono::milliseconds>(Delay * FOptions.BackOffMultiplier);
    Delay = std::min(std::max(Grown, Delay), FOptions.MaxDelay);
  }
}

// Restoring what the broker forgot counts with the connection: a loss meanwhile fails both.
bool TVQFailover::Attempt(size_t Index, std::string& LastFailure) {
  {
    std::lock_guard Guard(FLock);
    FLostAgain = false;
  }
  try {
    ConnectTo(Index);
    FSteps.Restore();
  } catch (const Exception& Error) {
    LastFailure = FBrokers[Index].Text() + ": " + Error.what();
    return false;
  }
  std::lock_guard Guard(FLock);
  if (FStopping || FLostAgain || !FClient.IsConnected()) return false;
  FCurrent = Index;
  FState = TState::Up;
  FChanged.notify_all();
  return true;
}

void TVQFailover::ConnectTo(size_t Index) {
  FClient.SetHost(FBrokers[Index].Host);
  FClient.SetPort(FBrokers[Index].Port);
  FClient.Connect();
}

// The broker just lost comes last in a round, so a dead one costs one refusal at most.
std::vector<size_t> TVQFailover::RoundOrder() {
  std::vector<size_t> Order(FBrokers.size());
  std::lock_guard Guard(FLock);
  for (size_t Step = 0; Step < Order.size(); ++Step)
    Order[Step] = FState == TState::Resuming ? (FCurrent + 1 + Step) % Order.size() : Step;
  if (FOptions.Randomize) {
    thread_local std::minstd_rand Random{std::random_device{}()};
    std::shuffle(Order.begin(), Order.end(), Random);
  }
  return Order;
}

bool TVQFailover::Ending() {
  std::lock_guard Guard(FLock);
  return FStopping;
}

bool TVQFailover::Pause(std::chrono::milliseconds Delay) {
  std::unique_lock Guard(FLock);
  return !FChanged.wait_for(Guard, Delay, [this] { return FStopping; });
}

}  // namespace vq
