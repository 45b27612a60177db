// The composition root: the one place that chooses the platform (the simulated
// bus with its units, or the system's HID devices) and builds the application
// in the order its parts depend on each other. Every front end, test harness and
// benchmark builds the tool through it.
//
// Built in this order, torn down in the reverse one:
//   1. the event loop: timers register with it and every other part posts to it,
//      so it must exist first and go last;
//   2. the platform, and with the simulated bus its units: the controller opens
//      devices through it and its read threads wait on it; the units must go
//      before the bus they are plugged into;
//   3. the message boxes, and the exception box routed to them: the main window
//      shows every message through them;
//   4. the two diagnostic windows: the main window holds them and fills them;
//   5. the main window TfmIsp, last: its controller reports the first device
//      change as soon as the loop runs, so everything it reaches must be there.
// Tearing down the main window first closes its link (joining the worker that
// writes through it) and its controller (joining the read threads), so no thread
// of the tool touches a unit, a box or a window that is already gone. The native
// windows of a front end are made from these models in the description's order
// (fmIsp, fmHidData, fmProgData) once the root stands.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "app/isp.h"
#include "diag/diag_windows.h"
#include "hid/hid_platform.h"
#include "hid/sim_bus.h"
#include "sim/recorded_unit.h"
#include "sim/sim_options.h"
#include "sim/simulated_setup.h"
#include "toolkit/event_loop.h"
#include "toolkit/message_box.h"

namespace kv {

// The choice of platform: an in-process bus with simulated units, or the
// system's HID binding. Usable alone by a mode that only lists devices.
class TIspPlatform {
 public:
  // Simulated: a bus, then `sim.units` units powered up on it; the bus's report
  // time is `reportTime` when given. Otherwise the system's binding (which may
  // be missing or unavailable: see Available).
  TIspPlatform(bool simulate, const sim::SimOptions& sim,
               std::optional<std::chrono::microseconds> reportTime = std::nullopt,
               hid::SimVocabulary vocabulary = hid::SimVocabulary::kWindows);
  // A replay: a bus that speaks the recording's system, with the unit the
  // recording makes, playing at once; its delays divided by `delayDivisor`.
  TIspPlatform(sim::Recording recording, double delayDivisor);
  ~TIspPlatform();
  TIspPlatform(const TIspPlatform&) = delete;
  TIspPlatform& operator=(const TIspPlatform&) = delete;

  // Null when this build has no system binding.
  const std::shared_ptr<hid::HidPlatform>& Platform() const { return platform_; }
  // HID access can be had: the controller will list devices.
  bool Available() const { return platform_ != nullptr && platform_->Available(); }
  // Null unless simulated.
  hid::SimulatedHidBus* Bus() const { return bus_.get(); }
  sim::SimulatedSetup* Setup() const { return setup_.get(); }
  // Null unless a replay.
  sim::RecordedUnit* Replay() const { return replay_.get(); }

 private:
  std::shared_ptr<hid::SimulatedHidBus> bus_;
  std::unique_ptr<sim::SimulatedSetup> setup_;
  std::unique_ptr<sim::RecordedUnit> replay_;
  std::shared_ptr<hid::HidPlatform> platform_;
};

using TLoopFactory = std::function<std::unique_ptr<toolkit::EventLoop>()>;
// Called once the platform stands, before the main window is built: returns the
// platform the main window is to use (the one given, or a wrapper of it), or
// null when the front end will not go on; then no main window is built.
using TPlatformChoice = std::function<std::shared_ptr<hid::HidPlatform>(const TIspPlatform&)>;
using TMessageBoxFactory =
    std::function<std::unique_ptr<toolkit::MessageBoxService>(toolkit::EventLoop& loop)>;

struct TIspApplicationOptions {
  // Set: the platform already built, shared with other applications of the same
  // process (several units updated at once); Simulate, Sim, SimReportTime and
  // SimVocabulary are then not used.
  std::shared_ptr<TIspPlatform> SharedPlatform;
  bool Simulate = false;
  sim::SimOptions Sim;
  std::optional<std::chrono::microseconds> SimReportTime;
  // Set: the unit is this recording (Simulate and Sim are not used), its delays
  // divided by ReplayDelayDivisor.
  std::optional<sim::Recording> Replay;
  double ReplayDelayDivisor = 1;
  // The system whose error codes and texts the simulated bus speaks.
  hid::SimVocabulary SimVocabulary = hid::SimVocabulary::kWindows;
  TIspTiming Timing;
  // When set: the tool's own timing divided by it (Timing is not used), and a
  // simulated unit that judges that pace unless Sim.pace says otherwise.
  std::optional<int> PaceDivisor;
  TTrafficObserver TrafficObserver;
  // Unset: the portable loop.
  TLoopFactory CreateLoop;
  // Unset: the main window uses the platform as built.
  TPlatformChoice ChoosePlatform;
  // Unset: boxes that record what they show and close at once (no one to see them).
  TMessageBoxFactory CreateMessageBoxes;
  // Unset: an exception that escapes a handler is shown in a message box with the
  // error symbol, as the toolkit's standard exception box does.
  toolkit::ExceptionBox ExceptionBox;
};

class TIspApplication {
 public:
  explicit TIspApplication(TIspApplicationOptions options);
  ~TIspApplication();
  TIspApplication(const TIspApplication&) = delete;
  TIspApplication& operator=(const TIspApplication&) = delete;

  toolkit::EventLoop& Loop() const { return *loop_; }
  const TIspPlatform& Platform() const { return *platform_; }
  toolkit::MessageBoxService& MessageBoxes() const { return *messageBoxes_; }
  diag::TfmHidData& HidData() { return hidData_; }
  const diag::TfmHidData& HidData() const { return hidData_; }
  diag::TfmProgData& ProgData() { return progData_; }
  // Null once DestroyMainWindow has run, or when ChoosePlatform refused.
  TfmIsp* MainWindow() const { return mainWindow_.get(); }

  // Moves the main window and centres the diagnostic windows on it again, where
  // both start out.
  void PlaceMainWindow(int left, int top);
  // Closes the main window as the user does: FormClose ends the session and the
  // window is hidden; the object stays until DestroyMainWindow or the root goes.
  void CloseMainWindow();
  // Destroys the main window, joining the threads of its link and controller.
  // The loop, the platform, the boxes and the diagnostic windows stay.
  void DestroyMainWindow();
  // Closes and destroys the main window and builds a new one on the same loop,
  // platform and boxes, as a new start of the tool would: it knows nothing of
  // the old one's update and finds the unit as it is now.
  void RebuildMainWindow();

 private:
  // Declared in building order: members are destroyed in the reverse one.
  std::unique_ptr<toolkit::EventLoop> loop_;
  std::shared_ptr<TIspPlatform> platform_;
  std::unique_ptr<toolkit::MessageBoxService> messageBoxes_;
  diag::TfmHidData hidData_;
  diag::TfmProgData progData_;
  std::unique_ptr<TfmIsp> mainWindow_;
  // What the main window is built with, for RebuildMainWindow.
  std::shared_ptr<hid::HidPlatform> windowPlatform_;
  TIspTiming windowTiming_;
  TTrafficObserver windowTrafficObserver_;
};

}  // namespace kv
