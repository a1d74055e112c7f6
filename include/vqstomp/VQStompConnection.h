#pragma once

/// @file
/// The settings a STOMP client connects with: credentials, transport adapter, logger.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <vqstomp/VQStompTypes.h>
#include <vqstomp/VQSupportInterfaces.h>

namespace vq {

class IStompCommAdapter;

/// What a STOMP client needs before it can connect: credentials, the transport adapter
/// (which keeps host and port) and the logger shared with that adapter.
class TVQStompConnection {
public:
  /// No adapter yet; a TSimpleLogger of its own, writing to standard output when it is open.
  TVQStompConnection();
  virtual ~TVQStompConnection() = default;
  TVQStompConnection(const TVQStompConnection&) = delete;
  TVQStompConnection& operator=(const TVQStompConnection&) = delete;

  /// Logs the class name, ": " and Text at debug level.
  virtual void Trace(std::string_view Text);
  /// Ends the connection to the broker.
  virtual void Disconnect() = 0;

  /// Installs an adapter (not owned, not null), hands it this object's logger and resets
  /// host and port to "localhost" and 61613.
  void SetCommAdapter(IStompCommAdapter* Adapter);
  /// The installed adapter, or nullptr; its type is internal to the library.
  IStompCommAdapter* GetCommAdapter() const { return FCommAdapter; }
  /// The logger of this client and its adapter: set its level or handler through it.
  const std::shared_ptr<ILogging>& GetLogger() const { return FLogger; }

  /// The user name sent as "login" in CONNECT; empty: none is sent.
  const std::string& GetUsername() const { return FUsername; }
  /// Sets the user name for the next Connect.
  void SetUsername(std::string Value) { FUsername = std::move(Value); }
  /// The password sent as "passcode" in CONNECT; empty: none is sent.
  const std::string& GetPassword() const { return FPassword; }
  /// Sets the password for the next Connect.
  void SetPassword(std::string Value) { FPassword = std::move(Value); }
  /// The broker's host, kept by the adapter; raises EVQStompError without an adapter.
  std::string GetHost() const;
  /// Sets the broker's host for the next Connect; raises EVQStompError without an adapter.
  void SetHost(const std::string& Value);
  /// The broker's port, kept by the adapter; raises EVQStompError without an adapter.
  int32_t GetPort() const;
  /// Sets the broker's port for the next Connect; raises EVQStompError without an adapter.
  void SetPort(int32_t Value);

protected:
  /// The name that starts this class's log lines.
  virtual std::string_view GetClassName() const { return "TVQStompConnection"; }
  /// The installed adapter; raises EVQStompError "No communication adapter" without one.
  IStompCommAdapter& CommAdapter() const;

private:
  std::shared_ptr<ILogging> FLogger;
  IStompCommAdapter* FCommAdapter = nullptr;
  std::string FUsername;
  std::string FPassword;
};

}  // namespace vq
