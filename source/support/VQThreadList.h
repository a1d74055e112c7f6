#pragma once

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace vq {

// A thread-safe list. Readers walk a snapshot: adding or removing copies the list once,
// so walking it (for every received message) neither copies it nor holds a lock.
template <typename T>
class TThreadList {
public:
  using TItems = std::vector<T>;

  // The items at one moment; the list may grow meanwhile. It keeps them alive, so it
  // can be walked directly in a range-for.
  class TSnapshot {
  public:
    explicit TSnapshot(std::shared_ptr<const TItems> Items) : FItems(std::move(Items)) {}
    typename TItems::const_iterator begin() const { return FItems->begin(); }
    typename TItems::const_iterator end() const { return FItems->end(); }

  private:
    std::shared_ptr<const TItems> FItems;
  };

  void Add(T Item) {
    std::lock_guard Guard(FLock);
    auto Grown = std::make_shared<TItems>(*FItems);
    Grown->push_back(std::move(Item));
    FItems = std::move(Grown);
  }

  // Removes every item for which Matches holds.
  template <typename TPredicate>
  void RemoveIf(TPredicate Matches) {
    std::lock_guard Guard(FLock);
    auto Shrunk = std::make_shared<TItems>(*FItems);
    std::erase_if(*Shrunk, Matches);
    FItems = std::move(Shrunk);
  }

  TSnapshot Snapshot() const {
    std::lock_guard Guard(FLock);
    return TSnapshot(FItems);
  }

private:
  mutable std::mutex FLock;
  std::shared_ptr<const TItems> FItems = std::make_shared<const TItems>();
};

}  // namespace vq
