#include <vqstomp/VQStompConnection.h>

#include <algorithm>

#include <vqstomp/VQLogger.h>

#include "support/VQTextUtils.h"
#include "support/VQUnicode.h"
#include "transport/VQCommInterfaces.h"

namespace vq {

namespace {

constexpr int32_t DefaultPort = 61613;
constexpr const char* DefaultHost = "localhost";

}  // namespace

TVQStompConnection::TVQStompConnection() : FLogger(std::make_shared<TSimpleLogger>()) {}

void TVQStompConnection::Trace(std::string_view Text) {
  if (FLogger->GetLevel() > llDebug) return;
  std::string Line(GetClassName());
  Line.append(": ").append(Text);
  FLogger->Debug(Utf8ToUtf16(Line));
}

void TVQStompConnection::SetCommAdapter(IStompCommAdapter* Adapter) {
  Trace("Set communication adapter to " + Adapter->GetName());
  FCommAdapter = Adapter;
  Adapter->SetLogger(FLogger);
  SetPort(DefaultPort);
  SetHost(DefaultHost);
}

IStompCommAdapter& TVQStompConnection::CommAdapter() const {
  if (FCommAdapter == nullptr) throw EVQStompError("No communication adapter");
  return *FCommAdapter;
}

std::string TVQStompConnection::GetHost() const { return CommAdapter().GetHost(); }
void TVQStompConnection::SetHost(const std::string& Value) { CommAdapter().SetHost(Value); }
int32_t TVQStompConnection::GetPort() const { return CommAdapter().GetPort(); }
void TVQStompConnection::SetPort(int32_t Value) { CommAdapter().SetPort(Value); }

void TVQStompConnection::SetAcceptVersion(const std::string& Value) {
  for (const std::string_view Name : SplitList(Value, ','))
    if (!VersionNamed(Name))
      throw EVQStompError("Cannot offer STOMP version \"" + std::string(Name) +
                          "\": the versions are 1.0, 1.1 and 1.2, comma-separated");
  FAcceptVersion = Value;
}

bool TVQStompConnection::OffersVersion(TStompVersion Version) const {
  const auto Offered = SplitList(FAcceptVersion, ',');
  return std::find(Offered.begin(), Offered.end(), VersionName(Version)) != Offered.end();
}

void TVQStompConnection::SetHeartBeat(int32_t Send, int32_t Receive) {
  if (Send < 0 || Receive < 0) throw EVQStompError("Heart-beat intervals cannot be negative");
  FHeartBeatSend = Send;
  FHeartBeatReceive = Receive;
}

}  // namespace vq
