#include "transport/VQSynchronize.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stop_token>
#include <thread>

#include <vqstomp/VQExceptions.h>

#include "TestSupport.h"

using namespace vq;
using vq::test::WaitUntil;

TEST(VQSynchronize, RunsTheCallOnTheMainThreadAndWaitsForIt) {
  const auto MainThread = std::this_thread::get_id();
  std::atomic<bool> Returned{false};
  std::thread::id RanOn;
  bool Result = false;
  std::thread Worker([&] {
    Result = Synchronize([&] {
      EXPECT_FALSE(Returned);
      RanOn = std::this_thread::get_id();
    });
    Returned = true;
  });
  EXPECT_TRUE(WaitUntil([] { return CheckSynchronize(); }));
  Worker.join();
  EXPECT_TRUE(Result);
  EXPECT_EQ(RanOn, MainThread);
  EXPECT_FALSE(CheckSynchronize());

  bool RanAtOnce = false;
  EXPECT_TRUE(Synchronize([&] { RanAtOnce = true; }));
  EXPECT_TRUE(RanAtOnce);
}

TEST(VQSynchronize, PassesTheCallsExceptionBackToTheWaitingThread) {
  std::string Caught;
  std::thread Worker([&] {
    try {
      Synchronize([] { throw Exception("listener failed"); });
    } catch (const Exception& Error) {
      Caught = Error.what();
    }
  });
  EXPECT_TRUE(WaitUntil([] { return CheckSynchronize(10); }));
  Worker.join();
  EXPECT_EQ(Caught, "listener failed");
}

TEST(VQSynchronize, AnAbandonedCallNeverRuns) {
  std::stop_source Abandon;
  std::atomic<bool> Ran{false};
  bool Result = true;
  std::thread Worker([&] { Result = Synchronize([&] { Ran = true; }, Abandon.get_token()); });
  Abandon.request_stop();
  Worker.join();
  EXPECT_FALSE(CheckSynchronize());
  EXPECT_FALSE(Result);
  EXPECT_FALSE(Ran);
}

// A call that ends its waiting thread (a listener closing the connection) must not
// wait for that thread while the thread waits for it.
TEST(VQSynchronize, ACallAbandonedWhileRunningIsLeftToFinish) {
  std::stop_source Abandon;
  std::atomic<bool> WorkerReturned{false};
  bool Result = true;
  bool Finished = false;
  std::thread Worker([&] {
    Result = Synchronize(
        [&] {
          Abandon.request_stop();
          EXPECT_TRUE(WaitUntil([&] { return WorkerReturned.load(); }));
          Finished = true;
        },
        Abandon.get_token());
    WorkerReturned = true;
  });
  EXPECT_TRUE(WaitUntil([] { return CheckSynchronize(); }));
  Worker.join();
  EXPECT_FALSE(Result);
  EXPECT_TRUE(Finished);
}
