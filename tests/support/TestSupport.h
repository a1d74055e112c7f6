#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vq::test {

struct TBrokerAddress {
  std::string Host;
  int32_t Port = 0;
};

// The broker named by VQSTOMP_BROKER, or by another variable, as "host:port", if any.
std::optional<TBrokerAddress> BrokerFromEnvironment(const char* Variable = "VQSTOMP_BROKER");

// A file of the test certificates (scripts/tls-certs.sh): in VQSTOMP_TLS_DIR, the test
// brokers' folder, when it is set; otherwise in the folder the build made.
std::string TLSFile(const std::string& Name);

// True when the test command runs the suite: a missing broker is then a failure.
bool BrokerRequired();

// The message of the exception of class TException that Action raises, or "no
// exception"; an exception of another class fails the test by escaping.
template <typename TException = std::exception>
std::string ErrorOf(const std::function<void()>& Action) {
  try {
    Action();
  } catch (const TException& Error) {
    return Error.what();
  }
  return "no exception";
}

// Polls Condition until it holds or Limit passes; for threading tests, never a fixed sleep.
bool WaitUntil(const std::function<bool()>& Condition,
               std::chrono::milliseconds Limit = std::chrono::seconds(20));

}  // namespace vq::test

// Skips the test (or fails it under the test command) when no broker is configured,
// and otherwise declares Broker as the broker's address.
#define VQ_REQUIRE_BROKER(Broker)                                                             \
  const auto Broker##Found = ::vq::test::BrokerFromEnvironment();                             \
  if (!Broker##Found) {                                                                       \
    if (::vq::test::BrokerRequired()) FAIL() << "VQSTOMP_BROKER is not set";                  \
    GTEST_SKIP() << "No broker: run scripts/broker.sh start and set "                         \
                    "VQSTOMP_BROKER=127.0.0.1:61613 (scripts/test.sh does both)";             \
  }                                                                                           \
  const ::vq::test::TBrokerAddress& Broker = *Broker##Found
