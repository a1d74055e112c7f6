#include "support/VQGuid.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include <vqstomp/VQConsumerID.h>

#include "messaging/VQTransactionContext.h"

using namespace vq;

namespace {

bool IsUpperHex(char C) { return (C >= '0' && C <= '9') || (C >= 'A' && C <= 'F'); }

// The registry form with version 4 and the RFC 4122 variant.
void ExpectGuidForm(const std::string& Text) {
  ASSERT_EQ(Text.size(), 38u) << Text;
  EXPECT_EQ(Text.front(), '{') << Text;
  EXPECT_EQ(Text.back(), '}') << Text;
  for (size_t I = 1; I < 37; ++I) {
    const bool Hyphen = I == 9 || I == 14 || I == 19 || I == 24;  // 1-based 10, 15, 20, 25
    if (Hyphen)
      EXPECT_EQ(Text[I], '-') << Text;
    else
      EXPECT_TRUE(IsUpperHex(Text[I])) << Text;
  }
  EXPECT_EQ(Text[15], '4') << Text;
  EXPECT_NE(std::string("89AB").find(Text[20]), std::string::npos) << Text;
}

}  // namespace

TEST(VQGuid, Form) {
  for (int I = 0; I < 100; ++I) ExpectGuidForm(NewGuidText());
  ExpectGuidForm(TVQConsumerID().ConsumerID);
  ExpectGuidForm(TVQTransactionContext().TransactionID);
}

TEST(VQGuid, DistinctAcrossThreads) {
  constexpr int PerThread = 2500;
  std::vector<std::vector<std::string>> Results(4);
  std::vector<std::thread> Threads;
  for (auto& Result : Results)
    Threads.emplace_back([&Result] {
      for (int I = 0; I < PerThread; ++I) Result.push_back(NewGuidText());
    });
  for (auto& Thread : Threads) Thread.join();
  std::set<std::string> Distinct;
  for (const auto& Result : Results) Distinct.insert(Result.begin(), Result.end());
  EXPECT_EQ(Distinct.size(), Results.size() * PerThread);
}
