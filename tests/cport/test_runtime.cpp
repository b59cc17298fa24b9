// The runtime pieces: components, threads and the main-thread hand-over.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "CPort/runtime/Component.h"
#include "CPort/runtime/MainThread.h"
#include "CPort/runtime/Thread.h"
#include "error_display_recorder.h"

using namespace CPort;
using namespace std::chrono_literals;

namespace {

class Probe : public TComponent {
 public:
  Probe(TComponent* owner, std::vector<std::string>* log, std::string name) : TComponent(owner), log_(log) {
    SetName(std::move(name));
  }
  ~Probe() override { log_->push_back("~" + Name()); }
  TComponent* removed = nullptr;

 protected:
  void Notification(TComponent* component, TOperation operation) override {
    TComponent::Notification(component, operation);
    if (operation == TOperation::opRemove) removed = component;
  }

 private:
  std::vector<std::string>* log_;
};

class LambdaThread : public TThread {
 public:
  explicit LambdaThread(std::function<void()> body) : TThread(true), body_(std::move(body)) {}
  ~LambdaThread() override { WaitFor(); }

 protected:
  void Execute() override { body_(); }

 private:
  std::function<void()> body_;
};

}  // namespace

TEST(Component, OwnerDestroysItsComponentsAndFreeNotificationTellsWatchers) {
  std::vector<std::string> log;
  auto* owner = new Probe(nullptr, &log, "owner");
  auto* a = new Probe(owner, &log, "a");
  new Probe(owner, &log, "b");
  Probe watcher(nullptr, &log, "watcher");
  watcher.FreeNotification(a);
  delete owner;
  EXPECT_EQ(log, (std::vector<std::string>{"~owner", "~b", "~a"}));
  EXPECT_EQ(watcher.removed, a);
}

TEST(Component, WatcherThatDiesFirstLeavesNoDanglingEntry) {
  std::vector<std::string> log;
  Probe watched(nullptr, &log, "watched");
  {
    Probe watcher(nullptr, &log, "watcher");
    watcher.FreeNotification(&watched);
  }
  // Destroying `watched` at scope end must not touch the dead watcher.
  SUCCEED();
}

TEST(Thread, CreatedSuspendedRunsOnlyAfterResume) {
  std::atomic<bool> ran{false};
  LambdaThread t([&] { ran = true; });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(ran);
  t.Resume();
  t.WaitFor();
  EXPECT_TRUE(ran);
  EXPECT_TRUE(t.Finished());
}

TEST(Thread, ExceptionEndingExecuteIsKept) {
  LambdaThread t([] { throw std::runtime_error("boom"); });
  t.Resume();
  t.WaitFor();
  ASSERT_TRUE(t.FatalException());
  EXPECT_THROW(std::rethrow_exception(t.FatalException()), std::runtime_error);
}

TEST(MainThreadQueue, RunOnMainThreadRunsThereAndCarriesErrorsBack) {
  std::thread::id ranOn;
  std::atomic<bool> caught{false};
  LambdaThread t([&] {
    Runtime::RunOnMainThread([&] { ranOn = std::this_thread::get_id(); });
    try {
      Runtime::RunOnMainThread([] { throw std::runtime_error("handler failed"); });
    } catch (const std::runtime_error& e) {
      caught = std::string(e.what()) == "handler failed";
    }
  });
  t.Resume();
  // Waiting for the thread on the main thread serves its requests.
  t.WaitFor();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(caught);
}

TEST(MainThreadQueue, SendReleasesTheSenderWhenTakenAndKeepsOrder) {
  std::vector<int> order;
  std::atomic<int> sent{0};
  LambdaThread t([&] {
    for (int i = 0; i < 5; ++i) {
      Runtime::SendToMainThread([&order, i] { order.push_back(i); });
      ++sent;
    }
  });
  t.Resume();
  t.WaitFor();
  EXPECT_EQ(sent, 5);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(MainThreadQueue, SentErrorsGoToTheApplicationErrorDisplay) {
  ErrorDisplayRecorder shown;
  LambdaThread t([] { Runtime::SendToMainThread([] { throw std::runtime_error("step failed"); }); });
  t.Resume();
  t.WaitFor();
  EXPECT_EQ(shown.Messages(), (std::vector<std::string>{"step failed"}));
}

TEST(MainThreadQueue, WakeUpIsCalledForEachRequestAndServeRunsThem) {
  std::atomic<int> wakeUps{0};
  Runtime::SetMainThreadWakeUp([&] { ++wakeUps; });
  std::atomic<bool> done{false};
  std::thread worker([&] {
    Runtime::RunOnMainThread([] {});
    done = true;
  });
  while (!done) Runtime::WaitAndServeMainThreadQueue(100ms);
  worker.join();
  Runtime::SetMainThreadWakeUp(nullptr);
  EXPECT_GE(wakeUps, 1);
}
