// The composition root: which platform it chooses, what it wires to what, and
// that tearing it down in its order leaves no thread of the tool or the units.
#include "app/isp_application.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "isp_harness.h"

namespace kv::test {
namespace {

TIspApplicationOptions SimulatedOptions(int units = 1) {
  TIspApplicationOptions options;
  options.Simulate = true;
  options.Sim = FastUnit();
  options.Sim.units = units;
  options.Timing = FastTiming();
  return options;
}

bool RunUntil(TIspApplication& application, const std::function<bool()>& done) {
  return application.Loop().RunUntil(done, kEventLimit);
}

TEST(IspApplication, SimulatedUnitIsOnTheBusAndRecognisedOnceTheLoopRuns) {
  TIspApplication application(SimulatedOptions());
  ASSERT_NE(application.Platform().Bus(), nullptr);
  ASSERT_NE(application.Platform().Setup(), nullptr);
  EXPECT_EQ(application.Platform().Setup()->UnitCount(), 1u);
  EXPECT_TRUE(application.Platform().Available());
  TfmIsp* isp = application.MainWindow();
  ASSERT_NE(isp, nullptr);
  // The controller's first device change is handled by the loop, not before.
  EXPECT_EQ(isp->sbStatus.PanelText(1), "No Device");

  ASSERT_TRUE(RunUntil(
      application, [isp] { return isp->HeldDevice != nullptr && isp->btnStartProgram.Enabled(); }));
  EXPECT_EQ(isp->sbStatus.PanelText(1), "Detect Run HID");
}

TEST(IspApplication, SeveralUnitsAreAllPluggedIntoTheOneBus) {
  TIspApplication application(SimulatedOptions(3));
  EXPECT_EQ(application.Platform().Setup()->UnitCount(), 3u);
  EXPECT_EQ(application.Platform().Bus()->EnumerateInterfaces().size(), 3u);
}

TEST(IspApplication, WithoutSimulationTheSystemsBindingIsUsed) {
  TIspApplicationOptions options;
  options.Timing = FastTiming();
  TIspApplication application(std::move(options));
  EXPECT_EQ(application.Platform().Bus(), nullptr);
  EXPECT_EQ(application.Platform().Setup(), nullptr);
  EXPECT_NE(application.Platform().Platform(), nullptr);  // this build has one
  EXPECT_NE(application.MainWindow(), nullptr);
}

TEST(IspApplication, PaceDivisorShortensTheTimersAndTellsTheUnitTheirPace) {
  TIspApplicationOptions options = SimulatedOptions();
  options.Sim.pace.reset();
  options.PaceDivisor = 10;
  TIspApplication paced(std::move(options));
  // 3000 ms fallback, 1000 ms "Start Program" arming, 500 ms release: a tenth each.
  EXPECT_EQ(paced.MainWindow()->Timing.AutoUpdate, 300ms);
  EXPECT_EQ(paced.MainWindow()->Timing.UsbWaitStartProgram, 100ms);
  EXPECT_EQ(paced.MainWindow()->Timing.WaitDisconnect, 50ms);
  EXPECT_EQ(paced.Platform().Setup()->Options().pace, 10);

  TIspApplicationOptions told = SimulatedOptions();
  told.Sim.pace = 4;
  told.PaceDivisor = 10;
  TIspApplication keptOwn(std::move(told));
  EXPECT_EQ(keptOwn.Platform().Setup()->Options().pace, 4);

  TIspApplicationOptions ownPace = SimulatedOptions();
  ownPace.Timing = TIspTiming{};
  TIspApplication unpaced(std::move(ownPace));
  EXPECT_EQ(unpaced.MainWindow()->Timing.AutoUpdate, 3000ms);
  EXPECT_EQ(unpaced.MainWindow()->Timing.UsbWaitData, 20ms);
}

TEST(IspApplication, DiagnosticWindowsStartCentredOnTheMainWindow) {
  TIspApplication application(SimulatedOptions());
  // 654 x 545 centred on 420 x 173: 117 to the left of it, 186 above it.
  EXPECT_EQ(application.HidData().Left(), -117);
  EXPECT_EQ(application.HidData().Top(), -186);
  application.PlaceMainWindow(500, 300);
  EXPECT_EQ(application.MainWindow()->Left(), 500);
  EXPECT_EQ(application.MainWindow()->Top(), 300);
  EXPECT_EQ(application.MainWindow()->Width(), 420);
  EXPECT_EQ(application.MainWindow()->Height(), 173);
  for (const toolkit::Form* window : {static_cast<const toolkit::Form*>(&application.HidData()),
                                      static_cast<const toolkit::Form*>(&application.ProgData())}) {
    EXPECT_EQ(window->Left(), 383);
    EXPECT_EQ(window->Top(), 114);
    EXPECT_FALSE(window->Visible());
  }
}

TEST(IspApplication, ExceptionFromAHandlerIsShownInAnErrorBoxByDefault) {
  TIspApplication application(SimulatedOptions());
  auto* boxes = dynamic_cast<toolkit::ScriptedMessageBoxes*>(&application.MessageBoxes());
  ASSERT_NE(boxes, nullptr);
  application.Loop().Post([] { throw std::runtime_error("handler failed"); });
  ASSERT_TRUE(RunUntil(application, [boxes] { return !boxes->Boxes().empty(); }));
  EXPECT_EQ(boxes->Boxes().front().text, "handler failed");
  EXPECT_EQ(boxes->Boxes().front().symbol, toolkit::MessageSymbol::kError);
}

TEST(IspApplication, GivenBoxesAndExceptionBoxAreTheOnesUsed) {
  TIspApplicationOptions options = SimulatedOptions();
  options.Sim.version_text = "KV-93T  011";  // refused: "Too Old Version Uint !! "
  toolkit::ScriptedMessageBoxes* boxes = nullptr;
  options.CreateMessageBoxes = [&boxes](toolkit::EventLoop& loop) {
    auto made = std::make_unique<toolkit::ScriptedMessageBoxes>(loop);
    boxes = made.get();
    return made;
  };
  std::vector<std::string> exceptions;
  options.ExceptionBox = [&exceptions](const std::string& text) { exceptions.push_back(text); };
  std::vector<std::string> traffic;
  options.TrafficObserver = [&traffic](const TTrafficRecord& record) {
    traffic.push_back(record.Line);
  };
  TIspApplication application(std::move(options));
  ASSERT_NE(boxes, nullptr);
  EXPECT_EQ(&application.MessageBoxes(), boxes);
  TfmIsp* isp = application.MainWindow();

  ASSERT_TRUE(RunUntil(
      application, [isp] { return isp->HeldDevice != nullptr && isp->btnStartProgram.Enabled(); }));
  application.Loop().Post([isp] { isp->btnStartProgram.Click(); });
  ASSERT_TRUE(RunUntil(application, [boxes] { return !boxes->Boxes().empty(); }));
  EXPECT_EQ(boxes->Boxes().front().text, "Too Old Version Uint !! ");
  // The traffic went to the observer: the unit query as a written frame.
  EXPECT_TRUE(std::any_of(traffic.begin(), traffic.end(), [](const std::string& line) {
    return line.starts_with("W 00  10 02 ");
  }));

  application.Loop().Post([] { throw std::logic_error("escaped"); });
  ASSERT_TRUE(RunUntil(application, [&exceptions] { return !exceptions.empty(); }));
  EXPECT_EQ(exceptions, std::vector<std::string>{"escaped"});
  EXPECT_EQ(boxes->Boxes().size(), 1u);
}

TEST(IspApplication, ClosingTheMainWindowEndsItsSessionAndKeepsLoopAndUnits) {
  TIspApplication application(SimulatedOptions());
  TfmIsp* isp = application.MainWindow();
  ASSERT_TRUE(RunUntil(
      application, [isp] { return isp->HeldDevice != nullptr && isp->btnStartProgram.Enabled(); }));
  isp->Show();
  application.Loop().Post([isp] { isp->btnStartProgram.Click(); });
  sim::SimulatedUnit& unit = application.Platform().Setup()->Unit(0);
  ASSERT_TRUE(RunUntil(application, [isp] { return isp->Link != nullptr; }));
  ASSERT_TRUE(RunUntil(application, [&unit] { return !unit.ReceivedReports().empty(); }));

  // As the user closes it: the session ends (FormClose), the window hides.
  application.CloseMainWindow();
  ASSERT_EQ(application.MainWindow(), isp);
  EXPECT_EQ(isp->Link, nullptr);
  EXPECT_EQ(isp->UpdateState, usVersionCheck);
  EXPECT_EQ(isp->sbStatus.PanelText(0), "Disconnect");
  EXPECT_FALSE(isp->Visible());

  application.DestroyMainWindow();
  EXPECT_EQ(application.MainWindow(), nullptr);
  application.CloseMainWindow();  // nothing left to close
  application.DestroyMainWindow();

  const size_t received = unit.ReceivedReports().size();
  bool ran = false;
  application.Loop().Post([&ran] { ran = true; });
  EXPECT_TRUE(RunUntil(application, [&ran] { return ran; }));
  application.Loop().RunUntil([] { return false; }, 200ms);
  EXPECT_EQ(unit.ReceivedReports().size(), received) << "the closed window still wrote";
}

#if defined(__linux__)
size_t ThreadCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

TEST(IspApplication, TearingDownDuringAnUpdateLeavesNoThreadBehind) {
  const size_t before = ThreadCount();
  {
    TIspApplication application(SimulatedOptions(2));
    TfmIsp* isp = application.MainWindow();
    ASSERT_TRUE(RunUntil(application, [isp] {
      return isp->HeldDevice != nullptr && isp->btnStartProgram.Enabled();
    }));
    application.Loop().Post([isp] { isp->btnStartProgram.Click(); });
    // Torn down in the middle of the boot-loader run: link worker, read threads
    // and the units' own threads are all running.
    ASSERT_TRUE(RunUntil(application, [isp] { return isp->UpdateState >= usSyncPackage; }));
    EXPECT_GT(ThreadCount(), before);
  }
  EXPECT_EQ(ThreadCount(), before);
}
#endif

}  // namespace
}  // namespace kv::test
