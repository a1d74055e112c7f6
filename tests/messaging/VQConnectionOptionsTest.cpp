#include <gtest/gtest.h>

#include <vqstomp/VQConnectionOptions.h>
#include <vqstomp/VQExceptions.h>
#include <vqstomp/VQJMSConnection.h>

#include "TestSupport.h"

using namespace vq;
using namespace vq::test;

TEST(VQConnectionOptions, FromURIReadsOneBrokerOrAFailoverList) {
  const auto One = TVQConnectionOptions::FromURI("tcp://broker.example:1234");
  EXPECT_EQ(One.Host, "broker.example");
  EXPECT_EQ(One.Port, 1234);
  EXPECT_TRUE(One.Brokers.empty());
  EXPECT_FALSE(One.Reconnect.Enabled);

  const auto Cluster = TVQConnectionOptions::FromURI(
      "failover:(tcp://a:61613, stomp://b:61614)?initialReconnectDelay=100&maxReconnectDelay=5000"
      "&maxReconnectAttempts=-1&randomize=true&backOffMultiplier=1.5&resendUnconfirmed=true");
  ASSERT_EQ(Cluster.Brokers.size(), 2u);
  EXPECT_EQ(Cluster.Brokers[1].Host, "b");
  EXPECT_EQ(Cluster.Brokers[1].Port, 61614);
  EXPECT_EQ(Cluster.Host, "a");
  EXPECT_TRUE(Cluster.Reconnect.Enabled);
  EXPECT_EQ(Cluster.Reconnect.InitialDelay.count(), 100);
  EXPECT_EQ(Cluster.Reconnect.MaxDelay.count(), 5000);
  EXPECT_EQ(Cluster.Reconnect.MaxAttempts, -1);
  EXPECT_TRUE(Cluster.Reconnect.Randomize);
  EXPECT_DOUBLE_EQ(Cluster.Reconnect.BackOffMultiplier, 1.5);
  EXPECT_TRUE(Cluster.Reconnect.ResendUnconfirmed);

  const auto Bare = TVQConnectionOptions::FromURI("failover:tcp://a:1,tcp://b?timeout=250&useExponentialBackOff=false");
  ASSERT_EQ(Bare.Brokers.size(), 2u);
  EXPECT_EQ(Bare.Brokers[1].Port, 61613);
  EXPECT_EQ(Bare.Reconnect.ResumeTimeout.count(), 250);
  EXPECT_DOUBLE_EQ(Bare.Reconnect.BackOffMultiplier, 1);
  EXPECT_EQ(TVQConnectionOptions::FromURI("failover:(tcp://a:1)").Brokers.size(), 1u);

  EXPECT_FALSE(One.TLS.Enabled);
  EXPECT_FALSE(Cluster.TLS.Enabled);
  const auto Secure = TVQConnectionOptions::FromURI("ssl://broker.example");
  EXPECT_TRUE(Secure.TLS.Enabled);
  EXPECT_TRUE(Secure.TLS.Verify);
  EXPECT_EQ(Secure.Port, 61614);
  const auto SecureCluster = TVQConnectionOptions::FromURI("failover:(stomp+ssl://a:1,ssl://b)");
  EXPECT_TRUE(SecureCluster.TLS.Enabled);
  EXPECT_EQ(SecureCluster.Brokers[1].Port, 61614);
}

TEST(VQConnectionOptions, FromURISaysWhatItCannotRead) {
  const std::pair<const char*, const char*> Cases[] = {
      {"failover:(tcp://a:1", "no closing"},
      {"http://a:1", "scheme \"http\""},
      {"a:1", "no scheme"},
      {"tcp://a:0", "no port from 1 to 65535"},
      {"tcp://:61613", "no host"},
      {"failover:()", "lists no broker"},
      {"failover:(ssl://a:1,tcp://b:2)", "mixes brokers with and without TLS"},
      {"failover:(tcp://a:1,ssl://b:2)", "mixes brokers with and without TLS"},
      {"failover:(tcp://a:1)x", "followed by \"?\""},
      {"failover:(tcp://a:1)?bogus=1", "\"bogus\" is not known"},
      {"failover:(tcp://a:1)?randomize=maybe", "true or false"},
      {"failover:(tcp://a:1)?maxReconnectDelay=soon", "whole number"},
      {"failover:(tcp://a:1)?backOffMultiplier=0.5", "1 or more"},
      {"failover:(tcp://a:1)?timeout", "has no value"},
  };
  for (const auto& [URI, Why] : Cases) {
    // An init-capture: clang before 16 cannot capture a structured binding.
    const std::string Error = ErrorOf<EConvertError>([Text = URI] { TVQConnectionOptions::FromURI(Text); });
    EXPECT_NE(Error.find(Why), std::string::npos) << URI << ": " << Error;
    EXPECT_NE(Error.find(URI), std::string::npos) << Error;
  }
  TVQConnectionOptions Listed;
  Listed.Brokers = {{"a", 1}, {"b", 2}};
  EXPECT_THROW(TVQJMSConnection::CreateConnection(Listed), EVQCommError);
}
