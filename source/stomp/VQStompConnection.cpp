#include <vqstomp/VQStompConnection.h>

#include <vqstomp/VQLogger.h>

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

}  // namespace vq
