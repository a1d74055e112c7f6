#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <vqstomp/VQStompTypes.h>
#include <vqstomp/VQSupportInterfaces.h>

namespace vq {

class IStompCommAdapter;

// What a STOMP client needs before it can connect: credentials, the transport adapter
// (which keeps host and port) and the logger shared with that adapter.
class TVQStompConnection {
public:
  TVQStompConnection();
  virtual ~TVQStompConnection() = default;
  TVQStompConnection(const TVQStompConnection&) = delete;
  TVQStompConnection& operator=(const TVQStompConnection&) = delete;

  // Logs the class name, ": " and Text at debug level.
  virtual void Trace(std::string_view Text);
  virtual void Disconnect() = 0;

  // Installs an adapter (not owned) and resets host and port to "localhost" and 61613.
  void SetCommAdapter(IStompCommAdapter* Adapter);
  IStompCommAdapter* GetCommAdapter() const { return FCommAdapter; }
  const std::shared_ptr<ILogging>& GetLogger() const { return FLogger; }

  const std::string& GetUsername() const { return FUsername; }
  void SetUsername(std::string Value) { FUsername = std::move(Value); }
  const std::string& GetPassword() const { return FPassword; }
  void SetPassword(std::string Value) { FPassword = std::move(Value); }
  std::string GetHost() const;
  void SetHost(const std::string& Value);
  int32_t GetPort() const;
  void SetPort(int32_t Value);

protected:
  virtual std::string_view GetClassName() const { return "TVQStompConnection"; }
  // The installed adapter; raises EVQStompError "No communication adapter" without one.
  IStompCommAdapter& CommAdapter() const;

private:
  std::shared_ptr<ILogging> FLogger;
  IStompCommAdapter* FCommAdapter = nullptr;
  std::string FUsername;
  std::string FPassword;
};

}  // namespace vq
