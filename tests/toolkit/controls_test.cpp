#include "toolkit/controls.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kv::toolkit {
namespace {

TEST(ControlsTest, ListenersHearRealChangesOnly) {
  Button button("Mcu Prog", false);
  std::vector<Change> heard;
  button.Subscribe([&](Change change) { heard.push_back(change); });
  button.SetEnabled(false);
  button.SetCaption("Mcu Prog");
  button.SetEnabled(true);
  button.SetCaption("Dsp Prog");
  button.SetVisible(false);
  EXPECT_EQ(heard, (std::vector<Change>{Change::kEnabled, Change::kCaption, Change::kVisible}));
}

TEST(ControlsTest, AListenerMayUnsubscribeItselfAndOthersWhileNotified) {
  Label label;
  int first_calls = 0;
  int second_calls = 0;
  Observable::Subscription first = 0;
  Observable::Subscription second = 0;
  first = label.Subscribe([&](Change) {
    ++first_calls;
    label.Unsubscribe(first);
    label.Unsubscribe(second);
  });
  second = label.Subscribe([&](Change) { ++second_calls; });
  label.SetCaption("Device Update");
  label.SetCaption("again");
  EXPECT_EQ(first_calls, 1);
  EXPECT_EQ(second_calls, 0);  // removed before its turn came
}

TEST(ControlsTest, ClickRunsTheHandlerEvenWhenDisabledOrHidden) {
  Button button("Security", false);
  MenuItem item("Memory", false);
  int clicks = 0;
  button.OnClick = [&] { ++clicks; };
  item.OnClick = [&] { ++clicks; };
  button.Click();
  item.Click();
  EXPECT_EQ(clicks, 2);
}

TEST(ControlsTest, UserClickRunsOnlyWhileTheButtonIsEnabledWhenItsTurnComes) {
  Button start("Start Program ", true);
  int runs = 0;
  start.OnClick = [&] {
    ++runs;
    start.SetEnabled(false);  // the command disables itself, as "Start Program " does
  };
  // A double click: both clicks were queued while the button was still enabled.
  EXPECT_TRUE(start.UserClick());
  EXPECT_FALSE(start.UserClick());
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(start.UserClick());
  EXPECT_EQ(runs, 1);
  // A click in code still runs regardless.
  start.Click();
  EXPECT_EQ(runs, 2);
  start.SetEnabled(true);
  EXPECT_TRUE(start.UserClick());
  EXPECT_EQ(runs, 3);
}

TEST(ControlsTest, UserClickQueuedOnTheLoopChecksTheButtonWhenItRuns) {
  const std::unique_ptr<EventLoop> loop = CreatePortableEventLoop();
  Button start("Start Program ", true);
  int runs = 0;
  start.OnClick = [&] {
    ++runs;
    start.SetEnabled(false);
  };
  loop->Post([&] { start.UserClick(); });
  loop->Post([&] { start.UserClick(); });
  bool drained = false;
  loop->Post([&] { drained = true; });
  ASSERT_TRUE(loop->RunUntil([&] { return drained; }, std::chrono::seconds(5)));
  EXPECT_EQ(runs, 1);
}

TEST(ControlsTest, PlainClickLetsTheHandlersExceptionReachTheCaller) {
  Button button("Version");
  button.OnClick = [] { throw std::runtime_error("refused"); };
  EXPECT_THROW(button.Click(), std::runtime_error);
}

TEST(ControlsTest, AHandlerMayReplaceItsOwnOnClick) {
  Button button;
  int first = 0;
  int second = 0;
  button.OnClick = [&] {
    ++first;
    button.OnClick = [&] { ++second; };
  };
  button.Click();
  button.Click();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
}

TEST(ControlsTest, ProgressBarKeepsItsPositionInsideItsRange) {
  ProgressBar bar;
  EXPECT_EQ(bar.Max(), 100);
  bar.SetPosition(150);
  EXPECT_EQ(bar.Position(), 100);
  bar.SetPosition(-3);
  EXPECT_EQ(bar.Position(), 0);
  bar.SetPosition(80);
  EXPECT_FALSE(bar.SetRange(10, 5));
  EXPECT_TRUE(bar.SetRange(0, 50));
  EXPECT_EQ(bar.Position(), 50);
}

TEST(ControlsTest, StatusBarStoresTheSimpleTextApartFromItsPanels) {
  StatusBar bar;
  ASSERT_TRUE(bar.SetPanelText(0, "Disconnect"));
  ASSERT_TRUE(bar.SetPanelWidth(0, 180));
  ASSERT_TRUE(bar.SetPanelText(1, "No Device"));
  bar.SetSimpleText("MCU Reset");
  EXPECT_FALSE(bar.SimplePanel());
  EXPECT_EQ(bar.SimpleText(), "MCU Reset");
  EXPECT_EQ(bar.PanelText(0), "Disconnect");
  EXPECT_EQ(bar.PanelText(1), "No Device");
  EXPECT_EQ(bar.PanelWidth(0), 180);

  EXPECT_FALSE(bar.SetPanelText(2, "x"));
  EXPECT_FALSE(bar.SetPanelText(-1, "x"));
  EXPECT_EQ(bar.PanelText(2), "");
  EXPECT_EQ(bar.PanelWidth(-1), 0);
}

TEST(ControlsTest, StatusBarColourIsButtonFaceUntilSetAndComparesByName) {
  StatusBar bar;
  EXPECT_TRUE(bar.Background().IsButtonFace());
  bar.SetBackground(Color::Rgb(255, 0, 0));
  EXPECT_EQ(bar.Background(), Color::Rgb(255, 0, 0));
  // The named colour is not the same as its usual RGB value.
  EXPECT_NE(Color::ButtonFace(), Color::Rgb(240, 240, 240));
  bar.SetBackground(Color::ButtonFace());
  EXPECT_TRUE(bar.Background().IsButtonFace());
}

TEST(ControlsTest, ListBoxSelectsOnlyExistingItems) {
  ListBox list;
  EXPECT_EQ(list.ItemIndex(), ListBox::kNoItem);
  EXPECT_FALSE(list.SetItemIndex(0));
  EXPECT_EQ(list.AddItem("W 01  00"), 0);
  EXPECT_EQ(list.AddItem("R 01  00"), 1);
  EXPECT_TRUE(list.SetItemIndex(1));
  EXPECT_FALSE(list.SetItemIndex(2));
  EXPECT_EQ(list.ItemIndex(), 1);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.ItemIndex(), ListBox::kNoItem);
}

TEST(ControlsTest, MemoAddsLinesLikeLinesAdd) {
  Memo memo("Memo1");
  memo.Clear();
  EXPECT_EQ(memo.Text(), "");
  memo.AddLine("0000: 01 02");
  memo.AddText("tail");
  memo.AddLine("next");
  EXPECT_EQ(memo.Text(), "0000: 01 02\ntail\nnext\n");
}

TEST(ControlsTest, FormShowHideCloseAndBounds) {
  Form form("Hid Data", 654, 545);
  int closes = 0;
  form.OnClose = [&] { ++closes; };
  form.Show();
  EXPECT_TRUE(form.Visible());
  form.SetPosition(430, 100);
  EXPECT_EQ(form.Left(), 430);
  EXPECT_EQ(form.Width(), 654);
  form.Close();
  EXPECT_FALSE(form.Visible());
  EXPECT_EQ(closes, 1);
}

}  // namespace
}  // namespace kv::toolkit
