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

  /// The protocol versions offered as "accept-version", comma-separated, such as
  /// "1.1,1.2"; empty (the default): STOMP 1.0 exactly as always, CONNECT naming none.
  const std::string& GetAcceptVersion() const { return FAcceptVersion; }
  /// Sets the versions for the next Connect; raises EVQStompError, keeping the old value,
  /// for any but "1.0", "1.1" and "1.2".
  void SetAcceptVersion(const std::string& Value);
  /// Version is among those offered.
  bool OffersVersion(TStompVersion Version) const;
  /// Sent as "host" when versions are offered: the virtual host. Empty (the default): the
  /// broker's host name. RabbitMQ wants a virtual host of its own, "/" by default.
  const std::string& GetVirtualHost() const { return FVirtualHost; }
  /// Sets the virtual host for the next Connect.
  void SetVirtualHost(std::string Value) { FVirtualHost = std::move(Value); }
  /// Heart-beats asked for, in ms: at most this long between two writes of this side
  /// (Send) and between two frames or heart-beats of the broker (Receive); 0 (the
  /// default): none. They need a version offered. Raises EVQStompError for a negative one.
  void SetHeartBeat(int32_t Send, int32_t Receive);
  /// The heart-beat interval asked for this side's writes, in ms.
  int32_t GetHeartBeatSend() const { return FHeartBeatSend; }
  /// The heart-beat interval asked for the broker's, in ms.
  int32_t GetHeartBeatReceive() const { return FHeartBeatReceive; }
  /// How long a call waits for a receipt it asked for, in ms (default 30 000; 0 or less:
  /// no limit).
  int32_t GetReceiptTimeout() const { return FReceiptTimeout; }
  /// Sets how long calls wait for their receipts.
  void SetReceiptTimeout(int32_t Milliseconds) { FReceiptTimeout = Milliseconds; }

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
  std::string FAcceptVersion;
  std::string FVirtualHost;
  int32_t FHeartBeatSend = 0;
  int32_t FHeartBeatReceive = 0;
  int32_t FReceiptTimeout = 30000;
};

}  // namespace vq
