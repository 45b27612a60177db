// Tasks posted for an owner run while it lives and do nothing once it is gone.
#include "toolkit/weak_owner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

namespace kv::toolkit {
namespace {

using namespace std::chrono_literals;

struct Counter {
  int runs = 0;
  WeakOwner<Counter> weakSelf{*this};
};

void RunPosted(EventLoop& loop) {
  bool drained = false;
  loop.Post([&drained] { drained = true; });
  ASSERT_TRUE(loop.RunUntil([&drained] { return drained; }, 5s));
}

TEST(WeakOwner, GuardedTaskRunsWithTheOwnerWhileItLives) {
  const auto loop = CreatePortableEventLoop();
  Counter counter;
  counter.weakSelf.Post(*loop, [](Counter& owner) { ++owner.runs; });
  counter.weakSelf.Post(*loop, [](Counter& owner) { owner.runs += 10; });
  RunPosted(*loop);
  EXPECT_EQ(counter.runs, 11);
}

TEST(WeakOwner, TaskPostedBeforeTheOwnerWentDoesNothing) {
  const auto loop = CreatePortableEventLoop();
  bool ran = false;
  {
    auto counter = std::make_unique<Counter>();
    counter->weakSelf.Post(*loop, [&ran](Counter&) { ran = true; });
  }
  RunPosted(*loop);  // under ASan a use of the gone owner fails here
  EXPECT_FALSE(ran);
}

TEST(WeakOwner, ReleasedOwnerRunsNoneOfItsTasks) {
  const auto loop = CreatePortableEventLoop();
  Counter counter;
  const Task task = counter.weakSelf.Guard([](Counter& owner) { ++owner.runs; });
  counter.weakSelf.Release();
  loop->Post(task);
  counter.weakSelf.Post(*loop, [](Counter& owner) { ++owner.runs; });
  RunPosted(*loop);
  EXPECT_EQ(counter.runs, 0);
}

TEST(WeakOwner, HandleOutlivesItsOwnerAndThenGuardsNothing) {
  const auto loop = CreatePortableEventLoop();
  WeakHandle<Counter> handle;
  int runs = 0;
  {
    Counter counter;
    handle = counter.weakSelf.Handle();
    EXPECT_FALSE(handle.Expired());
    handle.Post(*loop, [&runs](Counter& owner) { runs = ++owner.runs; });
    RunPosted(*loop);
    EXPECT_EQ(runs, 1);
  }
  EXPECT_TRUE(handle.Expired());
  handle.Post(*loop, [&runs](Counter&) { runs = 100; });
  RunPosted(*loop);
  EXPECT_EQ(runs, 1);
}

TEST(WeakOwner, AnotherThreadPostsForTheOwner) {
  const auto loop = CreatePortableEventLoop();
  Counter counter;
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i)
      counter.weakSelf.Post(*loop, [](Counter& owner) { ++owner.runs; });
  });
  worker.join();
  RunPosted(*loop);
  EXPECT_EQ(counter.runs, 100);
}

}  // namespace
}  // namespace kv::toolkit
