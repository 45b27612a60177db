#include "toolkit/event_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/toolkit/loop_bindings.h"
#include "toolkit/controls.h"
#include "toolkit/loop_core.h"
#include "toolkit/message_box.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kv::toolkit {
namespace {

using namespace std::chrono_literals;
using testing::AllLoopBindings;
using testing::LoopBinding;

// Every wait of the suite ends after this at the latest.
constexpr Clock::duration kBound = 5s;
constexpr int kBoundMs = 5000;

class EventLoopTest : public ::testing::TestWithParam<LoopBinding> {
 protected:
  void SetUp() override { loop_ = GetParam().create(); }

  void TearDown() override {
    // Serve whatever the helper threads still send, then let the loop's
    // destruction release any sender left blocked.
    loop_->RunUntil([this] { return finished_threads_ == threads_.size(); }, kBound);
    loop_.reset();
    for (std::thread& thread : threads_) thread.join();
  }

  void StartThread(std::function<void()> body) {
    threads_.emplace_back([this, body = std::move(body)] {
      body();
      ++finished_threads_;
    });
  }

  bool RunUntil(const std::function<bool()>& done) { return loop_->RunUntil(done, kBound); }

  // Run, with a bound of its own that does not depend on the loop working: a
  // watchdog thread quits the loop after kBound. Returns whether Run ended by
  // itself, before the watchdog had to step in.
  bool RunBounded() {
    std::mutex mutex;
    std::condition_variable ended;
    bool returned = false;
    bool watchdog_quit = false;
    std::thread watchdog([&] {
      std::unique_lock lock(mutex);
      if (!ended.wait_for(lock, kBound, [&] { return returned; })) {
        watchdog_quit = true;
        loop_->Quit();
      }
    });
    loop_->Run();
    {
      std::lock_guard lock(mutex);
      returned = true;
    }
    ended.notify_all();
    watchdog.join();
    return !watchdog_quit;
  }
  // Run, with `ender` posted to end it: true when it did, before both the loop's
  // own timer safety net and the watchdog had to.
  bool RunEndedBy(Task ender) {
    bool safety_net_fired = false;
    Timer safety_net(*loop_, kBoundMs);
    safety_net.OnTimer = [&] {
      safety_net_fired = true;
      loop_->Quit();
    };
    safety_net.Start();
    loop_->Post(std::move(ender));
    return RunBounded() && !safety_net_fired;
  }
  void RunFor(Clock::duration time) {
    loop_->RunUntil([] { return false; }, time);
  }

  // Waits, without running the loop, until `count` senders are blocked.
  bool WaitForPendingSends(std::size_t count) {
    auto& core = dynamic_cast<LoopCore&>(*loop_);
    const Clock::time_point give_up = Clock::now() + kBound;
    while (core.PendingSendCount() < count) {
      if (Clock::now() > give_up) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  std::unique_ptr<EventLoop> loop_;
  std::vector<std::thread> threads_;
  std::atomic<std::size_t> finished_threads_{0};
};

// ---- Post and Send ----

TEST_P(EventLoopTest, SentTasksRunBeforePostedOnesEachInOrder) {
  std::vector<std::string> order;
  loop_->Post([&] { order.push_back("post 1"); });
  loop_->Post([&] { order.push_back("post 2"); });
  StartThread([&] { loop_->Send([&] { order.push_back("send 1"); }); });
  ASSERT_TRUE(WaitForPendingSends(1));
  StartThread([&] { loop_->Send([&] { order.push_back("send 2"); }); });
  ASSERT_TRUE(WaitForPendingSends(2));

  ASSERT_TRUE(RunUntil([&] { return order.size() == 4; }));
  EXPECT_EQ(order, (std::vector<std::string>{"send 1", "send 2", "post 1", "post 2"}));
}

TEST_P(EventLoopTest, SendReturnsOnlyAfterItsTaskRanOnTheUiThread) {
  int ui_value = 0;  // plain int: the hand-off must order the accesses
  std::atomic<int> seen_by_sender{-1};
  std::atomic<bool> ran_on_ui_thread{false};
  StartThread([&] {
    loop_->Send([&] {
      ran_on_ui_thread = loop_->IsUiThread();
      ui_value = 42;
    });
    seen_by_sender = ui_value;
  });
  ASSERT_TRUE(RunUntil([&] { return seen_by_sender != -1; }));
  EXPECT_EQ(seen_by_sender, 42);
  EXPECT_TRUE(ran_on_ui_thread);
}

TEST_P(EventLoopTest, PostFromAnotherThreadRunsOnTheUiThread) {
  std::atomic<bool> poster_is_ui_thread{true};
  bool ran_on_ui_thread = false;
  bool ran = false;
  StartThread([&] {
    poster_is_ui_thread = loop_->IsUiThread();
    loop_->Post([&] {
      ran_on_ui_thread = loop_->IsUiThread();
      ran = true;
    });
  });
  ASSERT_TRUE(RunUntil([&] { return ran; }));
  EXPECT_TRUE(ran_on_ui_thread);
  EXPECT_FALSE(poster_is_ui_thread);
}

TEST_P(EventLoopTest, SendOnTheUiThreadRunsAtOnceAndGuardsExceptions) {
  std::string shown = "none";
  loop_->SetExceptionBox([&](const std::string& text) { shown = text; });
  bool ran = false;
  loop_->Send([&] { ran = true; });
  EXPECT_TRUE(ran);
  loop_->Send([] { throw std::runtime_error("sent here"); });
  EXPECT_EQ(shown, "sent here");
}

TEST_P(EventLoopTest, SendFromAThreadIsServedInsideANestedLoop) {
  bool nested_done = false;
  bool nested_result = false;
  bool outer_done = false;
  loop_->Post([&] {
    StartThread([&] { loop_->Send([&] { nested_done = true; }); });
    nested_result = loop_->RunUntil([&] { return nested_done; }, kBound);
    outer_done = true;
  });
  ASSERT_TRUE(RunUntil([&] { return outer_done; }));
  EXPECT_TRUE(nested_result);
}

TEST_P(EventLoopTest, ServeSendsUntilServesSentTasksButNotPostedOnesOrTimers) {
  bool posted_ran = false;
  bool timer_fired = false;
  bool sent_ran = false;
  Timer timer(*loop_, 1);
  timer.OnTimer = [&] { timer_fired = true; };
  timer.Start();
  loop_->Post([&] { posted_ran = true; });
  std::this_thread::sleep_for(5ms);  // the timer is overdue from here on
  StartThread([&] { loop_->Send([&] { sent_ran = true; }); });

  EXPECT_TRUE(loop_->ServeSendsUntil([&] { return sent_ran; }, kBound));
  EXPECT_FALSE(posted_ran);
  EXPECT_FALSE(timer_fired);

  ASSERT_TRUE(RunUntil([&] { return posted_ran && timer_fired; }));
}

TEST_P(EventLoopTest, ServeSendsUntilNoticesAConditionAnotherThreadChanges) {
  std::atomic<bool> worker_ended{false};
  StartThread([&] {
    std::this_thread::sleep_for(10ms);
    worker_ended = true;
  });
  EXPECT_TRUE(loop_->ServeSendsUntil([&] { return worker_ended.load(); }, kBound));
  EXPECT_FALSE(loop_->ServeSendsUntil([] { return false; }, 20ms));
}

TEST_P(EventLoopTest, DestroyingTheLoopReleasesABlockedSenderWithoutRunningItsTask) {
  auto loop = GetParam().create();
  std::atomic<bool> task_ran{false};
  std::atomic<bool> sender_returned{false};
  std::thread sender([&] {
    loop->Send([&] { task_ran = true; });
    sender_returned = true;
  });
  auto& core = dynamic_cast<LoopCore&>(*loop);
  const Clock::time_point give_up = Clock::now() + kBound;
  while (core.PendingSendCount() == 0 && Clock::now() < give_up) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(core.PendingSendCount(), 1u);

  loop.reset();
  sender.join();
  EXPECT_TRUE(sender_returned);
  EXPECT_FALSE(task_ran);
}

// ---- Run and Quit ----

TEST_P(EventLoopTest, QuitFromAnotherThreadEndsRun) {
  EXPECT_TRUE(RunEndedBy([&] { StartThread([&] { loop_->Quit(); }); }));
  EXPECT_FALSE(loop_->QuitRequested());  // the loop can run again
}

TEST_P(EventLoopTest, QuitUnwindsANestedLoopAndThenRun) {
  bool nested_result = true;
  bool after_nested = false;
  Timer quitter(*loop_, 5);
  quitter.OnTimer = [&] {
    quitter.Stop();
    loop_->Quit();
  };
  loop_->Post([&] {
    quitter.Start();
    nested_result = loop_->RunUntil([] { return false; }, kBound);
    after_nested = true;
  });
  EXPECT_TRUE(RunBounded());
  EXPECT_FALSE(nested_result);
  EXPECT_TRUE(after_nested);
}

// ---- Timers ----

TEST_P(EventLoopTest, TimerTalliesEveryStartWithItsIntervalAndEveryFiring) {
  Timer timer(*loop_, 30);
  int fired = 0;
  timer.OnTimer = [&] {
    ++fired;
    timer.Stop();  // a one-shot
  };
  timer.Start();
  timer.Start();         // restarts: a second start of 30 ms
  timer.SetInterval(7);  // changing a running timer restarts it too: 7 ms
  ASSERT_TRUE(RunUntil([&] { return fired == 1; }));
  timer.SetInterval(11);  // stopped: nothing is armed
  EXPECT_EQ(timer.Counted().Starts, 3);
  EXPECT_EQ(timer.Counted().Armed, std::chrono::milliseconds(30 + 30 + 7));
  EXPECT_EQ(timer.Counted().Fires, 1);
  timer.SetInterval(0);
  timer.Start();  // an interval of 0 arms nothing
  EXPECT_EQ(timer.Counted().Starts, 3);
  timer.Stop();
}

TEST_P(EventLoopTest, StartingARunningTimerRestartsItsInterval) {
  Timer timer(*loop_, 60);
  Clock::time_point fired_at{};
  timer.OnTimer = [&] {
    timer.Stop();
    fired_at = Clock::now();
  };
  timer.Start();
  RunFor(30ms);
  const Clock::time_point restarted_at = Clock::now();
  timer.Start();
  ASSERT_TRUE(RunUntil([&] { return fired_at != Clock::time_point{}; }));
  EXPECT_GE(fired_at - restarted_at, 60ms);
}

TEST_P(EventLoopTest, HandlerThatStopsItsTimerMakesAOneShot) {
  Timer timer(*loop_, 5);
  int fired = 0;
  timer.OnTimer = [&] {
    timer.Stop();
    ++fired;
  };
  timer.Start();
  ASSERT_TRUE(RunUntil([&] { return fired == 1; }));
  RunFor(50ms);
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(timer.Enabled());
}

TEST_P(EventLoopTest, EnabledTimerFiresRepeatedly) {
  Timer timer(*loop_, 5);
  int fired = 0;
  timer.OnTimer = [&] { ++fired; };
  timer.Start();
  EXPECT_TRUE(RunUntil([&] { return fired >= 3; }));
}

TEST_P(EventLoopTest, ChangingTheIntervalOfARunningTimerRearmsItWithTheNewOne) {
  Timer timer(*loop_, 60'000);
  bool fired = false;
  timer.OnTimer = [&] { fired = true; };
  timer.Start();
  timer.SetInterval(10);
  EXPECT_EQ(timer.Interval(), 10);
  EXPECT_TRUE(RunUntil([&] { return fired; }));
}

TEST_P(EventLoopTest, StoppedZeroIntervalAndDestroyedTimersStaySilent) {
  int fired = 0;
  Timer stopped(*loop_, 5);
  stopped.OnTimer = [&] { ++fired; };
  stopped.SetInterval(10);  // changing the interval does not start it
  Timer zero(*loop_, 0);
  zero.OnTimer = [&] { ++fired; };
  zero.Start();
  {
    Timer destroyed(*loop_, 5);
    destroyed.OnTimer = [&] { ++fired; };
    destroyed.Start();
  }
  RunFor(40ms);
  EXPECT_EQ(fired, 0);
}

TEST_P(EventLoopTest, DeletingATimerInsideItsOwnHandlerIsSafe) {
  auto timer = std::make_unique<Timer>(*loop_, 5);
  int fired = 0;
  timer->OnTimer = [&] {
    timer.reset();
    ++fired;  // reads a capture after the timer (and its OnTimer) is gone
  };
  timer->Start();
  ASSERT_TRUE(RunUntil([&] { return fired == 1; }));
  RunFor(30ms);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(timer, nullptr);
}

// ---- Exception guard ----

TEST_P(EventLoopTest, ExceptionsEscapingHandlersAreShownAndTheLoopGoesOn) {
  std::vector<std::string> shown;
  loop_->SetExceptionBox([&](const std::string& text) { shown.push_back(text); });
  loop_->Post([] { throw std::runtime_error("posted failed"); });
  loop_->Post([] { throw 42; });
  Timer timer(*loop_, 5);
  timer.OnTimer = [&] {
    timer.Stop();
    throw std::logic_error("timer failed");
  };
  timer.Start();
  std::atomic<bool> sender_returned{false};
  StartThread([&] {
    loop_->Send([] { throw std::out_of_range("vector"); });
    sender_returned = true;
  });
  Button button("Version");
  button.OnClick = [] { throw std::runtime_error("click failed"); };
  bool rest_of_handler_ran = false;
  loop_->Post([&] {
    button.Click();
    rest_of_handler_ran = true;
  });
  bool later_task_ran = false;
  loop_->Post([&] { later_task_ran = true; });

  ASSERT_TRUE(RunUntil([&] { return later_task_ran && sender_returned && shown.size() == 5; }));
  std::sort(shown.begin(), shown.end());
  EXPECT_EQ(shown, (std::vector<std::string>{"", "click failed", "posted failed", "timer failed",
                                             "vector"}));
  EXPECT_FALSE(rest_of_handler_ran);  // the click's exception ended its caller
}

TEST_P(EventLoopTest, AThrowingExceptionBoxDoesNotEndTheLoop) {
  loop_->SetExceptionBox([](const std::string&) { throw std::runtime_error("box failed"); });
  loop_->Post([] { throw std::runtime_error("handler failed"); });
  bool later_task_ran = false;
  loop_->Post([&] { later_task_ran = true; });
  EXPECT_TRUE(RunUntil([&] { return later_task_ran; }));
}

// ---- Modal message boxes ----

TEST_P(EventLoopTest, WhileAScriptedBoxIsOpenTimersPostsAndSendsGoOn) {
  ScriptedMessageBoxes boxes(*loop_, 100ms);
  int ticks_while_open = 0;
  Timer timer(*loop_, 5);
  timer.OnTimer = [&] {
    if (boxes.OpenCount() > 0) ++ticks_while_open;
  };
  timer.Start();
  bool sent_while_open = false;
  bool posted_while_open = false;
  boxes.OnShown = [&](const ScriptedMessageBoxes::Shown&) {
    loop_->Post([&] { posted_while_open = boxes.OpenCount() > 0; });
    StartThread([&] { loop_->Send([&] { sent_while_open = boxes.OpenCount() > 0; }); });
  };
  Clock::duration open_for{};
  loop_->Post([&] {
    const Clock::time_point opened = Clock::now();
    boxes.Show(MessageId::kUnspecified, " Program OK !! ", MessageSymbol::kInformation);
    open_for = Clock::now() - opened;
  });

  ASSERT_TRUE(RunUntil([&] { return open_for != Clock::duration{}; }));
  EXPECT_GT(ticks_while_open, 0);
  EXPECT_TRUE(posted_while_open);
  EXPECT_TRUE(sent_while_open);
  EXPECT_GE(open_for, 100ms);
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].text, " Program OK !! ");
  EXPECT_EQ(boxes.Boxes()[0].symbol, MessageSymbol::kInformation);
  EXPECT_EQ(boxes.OpenCount(), 0);
}

TEST_P(EventLoopTest, AHandlerCanCloseAScriptedBoxEarly) {
  ScriptedMessageBoxes boxes(*loop_, kBound);
  Timer closer(*loop_, 10);
  closer.OnTimer = [&] {
    closer.Stop();
    boxes.CloseOpenBoxes();
  };
  bool returned = false;
  loop_->Post([&] {
    closer.Start();
    boxes.Show(MessageId::kUnspecified, "Read Error", MessageSymbol::kError);
    returned = true;
  });
  const Clock::time_point started = Clock::now();
  ASSERT_TRUE(RunUntil([&] { return returned; }));
  EXPECT_LT(Clock::now() - started, kBound);
}

// ---- Modal forms ----

TEST_P(EventLoopTest, ShowModalRunsANestedLoopUntilTheFormCloses) {
  Form form("Program Data", 654, 545);
  int closes = 0;
  form.OnClose = [&] { ++closes; };
  Timer closer(*loop_, 10);
  bool visible_while_modal = false;
  closer.OnTimer = [&] {
    closer.Stop();
    visible_while_modal = form.Visible() && form.Modal();
    form.Close();
  };
  closer.Start();
  EXPECT_TRUE(form.ShowModal(*loop_));
  EXPECT_TRUE(visible_while_modal);
  EXPECT_FALSE(form.Visible());
  EXPECT_FALSE(form.Modal());
  EXPECT_EQ(closes, 1);
}

TEST_P(EventLoopTest, DeletingAFormDuringItsModalLoopEndsTheLoopSafely) {
  auto form = std::make_unique<Form>("Program Data");
  Timer deleter(*loop_, 10);
  deleter.OnTimer = [&] {
    deleter.Stop();
    form.reset();
  };
  deleter.Start();
  bool shown_modally = true;
  loop_->Post([&] { shown_modally = form->ShowModal(*loop_); });
  ASSERT_TRUE(RunUntil([&] { return form == nullptr && !shown_modally; }));
}

#ifdef _WIN32
// ---- Native messages (Win32 binding) ----

constexpr UINT kTestMessage = WM_USER + 7;
std::atomic<int> g_native_messages_seen{0};

LRESULT CALLBACK CountingWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kTestMessage) {
    ++g_native_messages_seen;
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

class NativeWindow {
 public:
  NativeWindow() {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = CountingWindowProc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"KvToolkitTestWindow";
    RegisterClassW(&window_class);
    handle_ = CreateWindowExW(0, L"KvToolkitTestWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  }
  ~NativeWindow() {
    if (handle_ != nullptr) DestroyWindow(handle_);
  }
  HWND Handle() const { return handle_; }

 private:
  HWND handle_ = nullptr;
};

TEST_P(EventLoopTest, Win32BindingDispatchesNativeMessagesAndEndsOnWmQuit) {
  if (GetParam().name != "Win32") GTEST_SKIP() << "native messages are the Win32 binding's";
  NativeWindow window;
  ASSERT_NE(window.Handle(), nullptr);
  g_native_messages_seen = 0;

  // A native message another thread sends is served even while the UI thread
  // only serves sends.
  StartThread([&] { SendMessageW(window.Handle(), kTestMessage, 0, 0); });
  EXPECT_TRUE(loop_->ServeSendsUntil([] { return g_native_messages_seen == 1; }, kBound));

  PostMessageW(window.Handle(), kTestMessage, 0, 0);
  EXPECT_TRUE(RunUntil([] { return g_native_messages_seen == 2; }));

  EXPECT_TRUE(RunEndedBy([] { PostQuitMessage(0); }));
}
#endif

INSTANTIATE_TEST_SUITE_P(Bindings, EventLoopTest, ::testing::ValuesIn(AllLoopBindings()),
                         [](const auto& info) { return testing::BindingName(info.param); });

}  // namespace
}  // namespace kv::toolkit
