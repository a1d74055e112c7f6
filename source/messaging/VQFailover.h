#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <vqstomp/VQConnectionOptions.h>
#include <vqstomp/VQExceptions.h>

namespace vq {

class TVQStompCustomClient;

// What the owner of a failover does at its steps, on the failover's thread.
struct TVQFailoverSteps {
  // The connection was lost; reconnection begins.
  std::function<void(const Exception& Cause)> Interrupted;
  // Connected again to Broker: restore what the broker forgot. A failure counts as a
  // failed attempt.
  std::function<void()> Restore;
  // Restored; calls may go on.
  std::function<void(const std::string& Broker)> Resumed;
  // Attempts ran out; the loss is final.
  std::function<void(const Exception& Cause)> GaveUp;
};

// Keeps a client connected to one of several brokers: after a loss it connects again on
// a thread of its own, in rounds over the broker list with a growing wait between them,
// until it succeeds, the attempts run out or it is stopped.
class TVQFailover {
public:
  TVQFailover(TVQStompCustomClient& Client, std::vector<TVQBrokerAddress> Brokers, TVQReconnectOptions Options,
              TVQFailoverSteps Steps);
  // Stops, and waits for an attempt in progress.
  ~TVQFailover();
  TVQFailover(const TVQFailover&) = delete;
  TVQFailover& operator=(const TVQFailover&) = delete;

  // Connects to the first broker of one round that answers; raises the last failure.
  void ConnectFirst();
  // The client lost its connection: reconnect.
  void Interrupt(const Exception& Cause);
  // Connected, and restored after any loss.
  bool IsUp() const { return FState == TState::Up; }
  // Stopped, or out of attempts.
  bool HasEnded() const { return FState == TState::Ended; }
  // Waits at most Timeout ms (0 or less: no limit) for IsUp; false when the time passed
  // or the failover stopped or gave up.
  bool AwaitUp(int32_t Timeout);
  // Ends reconnection for good, and waits for an attempt in progress unless called on
  // the failover's thread.
  void Stop();
  // "host:port" of the broker in use, or last used.
  std::string CurrentBroker() const;

private:
  enum class TState { Up, Resuming, Ended };

  void Run();
  // True once connected and restored; false when stopped or out of attempts.
  bool Reconnect(std::string& LastFailure);
  bool Attempt(size_t Index, std::string& LastFailure);
  void ConnectTo(size_t Index);
  std::vector<size_t> RoundOrder();
  bool Ending();
  // Waits Delay unless stopped meanwhile; false when stopped.
  bool Pause(std::chrono::milliseconds Delay);
  void SetState(TState State);

  TVQStompCustomClient& FClient;
  const std::vector<TVQBrokerAddress> FBrokers;
  const TVQReconnectOptions FOptions;
  const TVQFailoverSteps FSteps;
  mutable std::mutex FLock;
  std::condition_variable FChanged;
  std::atomic<TState> FState{TState::Up};
  bool FStopping = false;
  // A loss seen while an attempt was under way: that attempt cannot count.
  bool FLostAgain = false;
  std::string FCause;
  size_t FCurrent = 0;
  std::thread FThread;
};

}  // namespace vq
