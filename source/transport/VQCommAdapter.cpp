#include "transport/VQCommAdapter.h"

#include "support/VQUnicode.h"

namespace vq {

namespace {

// Messages may quote received bytes that are not UTF-8; those are shown byte by byte.
std::u16string LogText(const std::string& Text) {
  std::u16string Result = Utf8ToUtf16(Text);
  if (Result.empty()) Result.assign(Text.begin(), Text.end());
  return Result;
}

}  // namespace

TVQCommAdapter::TVQCommAdapter() = default;

void TVQCommAdapter::SetOnConnected(TConnectedEvent Handler) {
  std::lock_guard Guard(FLock);
  FOnConnected = std::move(Handler);
}

TConnectedEvent TVQCommAdapter::GetOnConnected() const {
  std::lock_guard Guard(FLock);
  return FOnConnected;
}

void TVQCommAdapter::SetOnDataAvailable(TDataAvailableEvent Handler) {
  auto Shared = Handler ? std::make_shared<const TDataAvailableEvent>(std::move(Handler)) : nullptr;
  std::lock_guard Guard(FLock);
  FOnDataAvailable = std::move(Shared);
}

TDataAvailableEvent TVQCommAdapter::GetOnDataAvailable() const {
  std::lock_guard Guard(FLock);
  return FOnDataAvailable ? *FOnDataAvailable : TDataAvailableEvent();
}

void TVQCommAdapter::SetOnConnectionLost(TConnectionLostEvent Handler) {
  std::lock_guard Guard(FLock);
  FOnConnectionLost = std::move(Handler);
}

TConnectionLostEvent TVQCommAdapter::GetOnConnectionLost() const {
  std::lock_guard Guard(FLock);
  return FOnConnectionLost;
}

void TVQCommAdapter::SetLogger(std::shared_ptr<ILogging> Logger) {
  std::lock_guard Guard(FLock);
  FLogger = std::move(Logger);
}

std::shared_ptr<ILogging> TVQCommAdapter::GetLogger() const {
  std::lock_guard Guard(FLock);
  return FLogger;
}

void TVQCommAdapter::Trace(const std::string& Text) const { Log(Text, llDebug); }

void TVQCommAdapter::LogError(const std::string& Text) const { Log(Text, llError); }

void TVQCommAdapter::LogWarning(const std::string& Text) const { Log(Text, llWarn); }

void TVQCommAdapter::Log(const std::string& Text, TLogLevel Level) const {
  if (const auto Logger = GetLogger()) Logger->Log(LogText(GetName() + ": " + Text), Level);
}

void TVQCommAdapter::DeliverFrame(std::string& Text) {
  std::shared_ptr<const TDataAvailableEvent> Handler;
  {
    std::lock_guard Guard(FLock);
    Handler = FOnDataAvailable;
  }
  if (Handler) (*Handler)(*this, Text);
}

void TVQCommAdapter::NotifyConnected() {
  if (const TConnectedEvent Handler = GetOnConnected()) Handler(*this);
}

void TVQCommAdapter::NotifyConnectionLost(const Exception& Error) {
  if (const TConnectionLostEvent Handler = GetOnConnectionLost())
    Handler(*this, Error);
  else
    LogError(Error.what());
}

}  // namespace vq
