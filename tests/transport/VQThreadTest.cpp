#include "transport/VQThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <semaphore>
#include <stdexcept>

#include "TestSupport.h"

using namespace vq;
using vq::test::WaitUntil;

namespace {

// Each Step counts itself and then waits for a permit, so the test decides when it ends.
class TGatedWorker : public TVQThread {
public:
  ~TGatedWorker() override {
    Terminate();
    Gate.release(100);
    TerminateAndWaitFor();
  }

  std::atomic<int> Entered{0};
  std::counting_semaphore<1000> Gate{0};
  std::function<void()> OnStep;

protected:
  void Step() override {
    ++Entered;
    if (OnStep) OnStep();
    Gate.acquire();
  }
};

}  // namespace

TEST(VQThread, StepsOnlyAfterStartAndNeverWhenTerminatedUnstarted) {
  TGatedWorker Unstarted;
  Unstarted.TerminateAndWaitFor();
  EXPECT_EQ(Unstarted.Entered, 0);
  EXPECT_TRUE(Unstarted.Stopped());
  Unstarted.Start();
  EXPECT_TRUE(Unstarted.Stopped());

  TGatedWorker Worker;
  EXPECT_TRUE(Worker.Stopped());
  Worker.Start();
  EXPECT_FALSE(Worker.Stopped());
  EXPECT_TRUE(WaitUntil([&] { return Worker.Entered == 1; }));
}

TEST(VQThread, StopParksAfterTheCurrentStepAndStartResumes) {
  TGatedWorker Worker;
  Worker.Start();
  ASSERT_TRUE(WaitUntil([&] { return Worker.Entered == 1; }));

  // Start right after Stop, while the Step still runs: the worker must not park.
  Worker.Stop();
  EXPECT_TRUE(Worker.Stopped());
  Worker.Start();
  Worker.Gate.release();
  ASSERT_TRUE(WaitUntil([&] { return Worker.Entered == 2; }));

  Worker.Stop();
  Worker.Gate.release();
  Worker.Start();
  Worker.Gate.release();
  EXPECT_TRUE(WaitUntil([&] { return Worker.Entered >= 3; }));
}

TEST(VQThread, TerminateAndWaitForEndsAParkedWorkerWithoutAnotherStep) {
  TGatedWorker Worker;
  Worker.Start();
  ASSERT_TRUE(WaitUntil([&] { return Worker.Entered == 1; }));
  Worker.Stop();
  Worker.Gate.release();
  Worker.TerminateAndWaitFor();
  EXPECT_EQ(Worker.Entered, 1);
  EXPECT_TRUE(Worker.Stopped());
}

TEST(VQThread, AnExceptionInStepEndsTheWorkerForGood) {
  TGatedWorker Worker;
  Worker.OnStep = [] { throw std::runtime_error("step failed"); };
  Worker.Start();
  ASSERT_TRUE(WaitUntil([&] { return Worker.Stopped(); }));
  Worker.TerminateAndWaitFor();
  Worker.Start();
  EXPECT_TRUE(Worker.Stopped());
  EXPECT_EQ(Worker.Entered, 1);
}

TEST(VQThread, AStepMayEndItsOwnThreadWithoutWaitingForItself) {
  TGatedWorker Worker;
  Worker.OnStep = [&] {
    Worker.TerminateAndWaitFor();
    Worker.Gate.release();
  };
  Worker.Start();
  ASSERT_TRUE(WaitUntil([&] { return Worker.Stopped(); }));
  Worker.TerminateAndWaitFor();
  EXPECT_EQ(Worker.Entered, 1);
}
