#include "support/VQThreadList.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

using namespace vq;

namespace {

std::vector<int> Items(const TThreadList<std::shared_ptr<int>>::TSnapshot& Snapshot) {
  std::vector<int> Result;
  for (const auto& Item : Snapshot) Result.push_back(*Item);
  return Result;
}

}  // namespace

TEST(VQThreadList, ASnapshotKeepsWhatItSawWhileTheListGrows) {
  TThreadList<std::shared_ptr<int>> List;
  List.Add(std::make_shared<int>(1));
  const auto Before = List.Snapshot();
  List.Add(std::make_shared<int>(2));
  EXPECT_EQ(Items(Before), std::vector<int>{1});
  EXPECT_EQ(Items(List.Snapshot()), (std::vector<int>{1, 2}));
}

// Readers walk the list directly in a range-for while another thread adds: each walk
// sees the items in the order they were added, none missing in between.
TEST(VQThreadList, WalksWhileAnotherThreadAddsSeeAnOrderedPrefix) {
  constexpr int Count = 2000;
  TThreadList<std::shared_ptr<int>> List;
  std::thread Adder([&] {
    for (int Number = 0; Number < Count; ++Number) List.Add(std::make_shared<int>(Number));
  });
  size_t Seen = 0;
  while (Seen < Count) {
    int Expected = 0;
    for (const auto& Item : List.Snapshot()) ASSERT_EQ(*Item, Expected++);
    Seen = static_cast<size_t>(Expected);
  }
  Adder.join();
}
