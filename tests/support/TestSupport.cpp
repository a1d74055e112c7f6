#include "TestSupport.h"

#include <cstdlib>
#include <thread>

namespace vq::test {

std::optional<TBrokerAddress> BrokerFromEnvironment(const char* Variable) {
  const char* Value = std::getenv(Variable);
  if (Value == nullptr || *Value == '\0') return std::nullopt;
  const std::string Text(Value);
  const size_t Colon = Text.rfind(':');
  if (Colon == std::string::npos) return TBrokerAddress{Text, 61613};
  return TBrokerAddress{Text.substr(0, Colon), std::stoi(Text.substr(Colon + 1))};
}

std::string TLSFile(const std::string& Name) {
  const char* Folder = std::getenv("VQSTOMP_TLS_DIR");
  return std::string(Folder != nullptr && *Folder != '\0' ? Folder : VQSTOMP_TEST_TLS_DIR) + "/" + Name;
}

bool BrokerRequired() {
  const char* Value = std::getenv("VQSTOMP_REQUIRE_BROKER");
  return Value != nullptr && std::string(Value) == "1";
}

bool WaitUntil(const std::function<bool()>& Condition, std::chrono::milliseconds Limit) {
  const auto Deadline = std::chrono::steady_clock::now() + Limit;
  while (!Condition()) {
    if (std::chrono::steady_clock::now() >= Deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace vq::test
