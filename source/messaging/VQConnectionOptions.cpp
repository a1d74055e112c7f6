#include <vqstomp/VQConnectionOptions.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include <vqstomp/VQExceptions.h>

#include "support/VQTextUtils.h"

namespace vq {

namespace {

[[noreturn]] void Refuse(std::string_view URI, const std::string& Why) {
  throw EConvertError("Cannot read the broker URI \"" + std::string(URI) + "\": " + Why);
}

constexpr int32_t DefaultTLSPort = 61614;

// Secure tells whether the scheme asks for TLS.
TVQBrokerAddress ParseBroker(std::string_view URI, std::string_view Broker, bool& Secure) {
  const size_t Scheme = Broker.find("://");
  if (Scheme == std::string_view::npos) Refuse(URI, "\"" + std::string(Broker) + "\" names no scheme such as tcp://");
  const std::string_view Name = Broker.substr(0, Scheme);
  Secure = Name == "ssl" || Name == "stomp+ssl";
  if (!Secure && Name != "tcp" && Name != "stomp")
    Refuse(URI, "the scheme \"" + std::string(Name) + "\" is not known");
  std::string_view Rest = Broker.substr(Scheme + 3);
  Rest = Rest.substr(0, Rest.find('/'));
  const size_t Colon = Rest.rfind(':');
  TVQBrokerAddress Address;
  if (Secure) Address.Port = DefaultTLSPort;
  Address.Host = std::string(Rest.substr(0, Colon));
  if (Address.Host.empty()) Refuse(URI, "\"" + std::string(Broker) + "\" names no host");
  if (Colon != std::string_view::npos &&
      (!TryStrToInt(Rest.substr(Colon + 1), Address.Port) || Address.Port < 1 || Address.Port > 65535))
    Refuse(URI, "\"" + std::string(Broker) + "\" has no port from 1 to 65535");
  return Address;
}

int64_t Number(std::string_view URI, std::string_view Name, std::string_view Value) {
  int64_t Result = 0;
  if (!TryStrToInt64(Value, Result)) Refuse(URI, std::string(Name) + " must be a whole number");
  return Result;
}

bool Flag(std::string_view URI, std::string_view Name, std::string_view Value) {
  if (Value == "true") return true;
  if (Value != "false") Refuse(URI, std::string(Name) + " must be true or false");
  return false;
}

double Decimal(std::string_view URI, std::string_view Name, std::string_view Value) {
  const std::string Text(Value);
  char* End = nullptr;
  const double Result = std::strtod(Text.c_str(), &End);
  if (Text.empty() || *End != '\0' || Result < 1) Refuse(URI, std::string(Name) + " must be a number of 1 or more");
  return Result;
}

void ApplyOption(std::string_view URI, std::string_view Option, TVQReconnectOptions& Reconnect) {
  const size_t Equals = Option.find('=');
  if (Equals == std::string_view::npos) Refuse(URI, "the option \"" + std::string(Option) + "\" has no value");
  const std::string_view Name = Option.substr(0, Equals);
  const std::string_view Value = Option.substr(Equals + 1);
  const auto Millis = [&] { return std::chrono::milliseconds(Number(URI, Name, Value)); };
  if (Name == "initialReconnectDelay")
    Reconnect.InitialDelay = Millis();
  else if (Name == "maxReconnectDelay")
    Reconnect.MaxDelay = Millis();
  else if (Name == "timeout")
    Reconnect.ResumeTimeout = Millis();
  else if (Name == "maxReconnectAttempts")
    Reconnect.MaxAttempts = static_cast<int32_t>(std::clamp<int64_t>(Number(URI, Name, Value), -1, INT32_MAX));
  else if (Name == "randomize")
    Reconnect.Randomize = Flag(URI, Name, Value);
  else if (Name == "resendUnconfirmed")
    Reconnect.ResendUnconfirmed = Flag(URI, Name, Value);
  else if (Name == "backOffMultiplier")
    Reconnect.BackOffMultiplier = Decimal(URI, Name, Value);
  else if (Name == "useExponentialBackOff" && !Flag(URI, Name, Value))
    Reconnect.BackOffMultiplier = 1;
  else if (Name != "useExponentialBackOff")
    Refuse(URI, "the option \"" + std::string(Name) + "\" is not known");
}

}  // namespace

TVQConnectionOptions TVQConnectionOptions::FromURI(std::string_view URI) {
  TVQConnectionOptions Options;
  constexpr std::string_view Failover = "failover:";
  if (!URI.starts_with(Failover)) {
    const TVQBrokerAddress Broker = ParseBroker(URI, URI, Options.TLS.Enabled);
    Options.Host = Broker.Host;
    Options.Port = Broker.Port;
    return Options;
  }
  const std::string_view Rest = URI.substr(Failover.size());
  const bool Enclosed = Rest.starts_with('(');
  const size_t ListEnd = Enclosed ? Rest.find(')') : Rest.find('?');
  if (Enclosed && ListEnd == std::string_view::npos) Refuse(URI, "the broker list has no closing \")\"");
  const std::string_view List = Enclosed ? Rest.substr(1, ListEnd - 1) : Rest.substr(0, ListEnd);
  for (const std::string_view Broker : SplitList(List, ',')) {
    bool Secure = false;
    Options.Brokers.push_back(ParseBroker(URI, TrimControl(Broker), Secure));
    if (Options.Brokers.size() > 1 && Secure != Options.TLS.Enabled)
      Refuse(URI, "it mixes brokers with and without TLS; one connection speaks either");
    Options.TLS.Enabled = Secure;
  }
  if (Options.Brokers.empty()) Refuse(URI, "it lists no broker");
  Options.Host = Options.Brokers.front().Host;
  Options.Port = Options.Brokers.front().Port;
  Options.Reconnect.Enabled = true;
  const std::string_view Settings = ListEnd == std::string_view::npos ? "" : Rest.substr(ListEnd + (Enclosed ? 1 : 0));
  if (Settings.empty()) return Options;
  if (!Settings.starts_with('?')) Refuse(URI, "the broker list must be followed by \"?\" and options");
  for (const std::string_view Option : SplitList(Settings.substr(1), '&')) ApplyOption(URI, Option, Options.Reconnect);
  return Options;
}

}  // namespace vq
