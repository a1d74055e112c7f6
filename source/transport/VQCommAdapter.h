#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "transport/VQCommInterfaces.h"

namespace vq {

inline constexpr int32_t DefaultConnectTimeout = 30000;
inline constexpr int32_t DefaultWriteTimeout = 30000;

// What every adapter shares: the handlers, the logger and ConsoleMode. The handlers and
// the logger may be replaced while a read thread delivers frames.
class TVQCommAdapter : public IStompCommAdapter {
public:
  TVQCommAdapter();

  void SetOnConnected(TConnectedEvent Handler) override;
  TConnectedEvent GetOnConnected() const override;
  void SetOnDataAvailable(TDataAvailableEvent Handler) override;
  TDataAvailableEvent GetOnDataAvailable() const override;
  void SetOnConnectionLost(TConnectionLostEvent Handler) override;
  TConnectionLostEvent GetOnConnectionLost() const override;
  void SetLogger(std::shared_ptr<ILogging> Logger) override;
  std::shared_ptr<ILogging> GetLogger() const override;
  // True (the default): background deliveries run on the read thread; false: on the
  // application's main thread, through CheckSynchronize.
  bool GetConsoleMode() const override { return FConsoleMode; }
  void SetConsoleMode(bool Value) override { FConsoleMode = Value; }
  void SetFrameBoundary(IFrameBoundary* Boundary) override { FFrameBoundary = Boundary; }
  IFrameBoundary* GetFrameBoundary() const override { return FFrameBoundary; }
  void SetConnectTimeout(int32_t Value) override { FConnectTimeout = Value; }
  int32_t GetConnectTimeout() const override { return FConnectTimeout; }
  void SetWriteTimeout(int32_t Value) override { FWriteTimeout = Value; }
  int32_t GetWriteTimeout() const override { return FWriteTimeout; }
  void StartReceiving() override {}
  void StopReceiving() override {}

  // GetName, ": " and Text to the logger at debug level; nothing without a logger.
  virtual void Trace(const std::string& Text) const;

protected:
  // Hands one frame to OnDataAvailable, which may take Text; without a handler the
  // frame is dropped.
  void DeliverFrame(std::string& Text);
  // GetName, ": " and Text to the logger at error level; nothing without a logger.
  void LogError(const std::string& Text) const;
  // The same at warning level.
  void LogWarning(const std::string& Text) const;
  // Calls OnConnected, if assigned.
  void NotifyConnected();
  // Calls OnConnectionLost; without a handler the error is logged.
  void NotifyConnectionLost(const Exception& Error);

private:
  void Log(const std::string& Text, TLogLevel Level) const;

  mutable std::mutex FLock;
  TConnectedEvent FOnConnected;
  TConnectionLostEvent FOnConnectionLost;
  // Shared so that a delivery can call it outside the lock without copying it.
  std::shared_ptr<const TDataAvailableEvent> FOnDataAvailable;
  std::shared_ptr<ILogging> FLogger;
  std::atomic<bool> FConsoleMode{true};
  std::atomic<IFrameBoundary*> FFrameBoundary{nullptr};
  std::atomic<int32_t> FConnectTimeout{DefaultConnectTimeout};
  std::atomic<int32_t> FWriteTimeout{DefaultWriteTimeout};
};

}  // namespace vq
