#include "app/isp_application.h"

#include <utility>

namespace kv {

TIspPlatform::TIspPlatform(bool simulate, const sim::SimOptions& sim,
                           std::optional<std::chrono::microseconds> reportTime,
                           hid::SimVocabulary vocabulary) {
  if (!simulate) {
    platform_ = hid::CreateSystemHidPlatform();
    return;
  }
  bus_ = std::make_shared<hid::SimulatedHidBus>(vocabulary);
  if (reportTime) bus_->SetReportTime(*reportTime);
  setup_ = std::make_unique<sim::SimulatedSetup>(*bus_, sim);
  platform_ = bus_;
}

TIspPlatform::TIspPlatform(sim::Recording recording, double delayDivisor) {
  bus_ = std::make_shared<hid::SimulatedHidBus>(
      recording.system == "windows" ? hid::SimVocabulary::kWindows : hid::SimVocabulary::kLinux);
  // The recorded times already hold the bus's.
  bus_->SetReportTime(std::chrono::microseconds(0));
  replay_ = std::make_unique<sim::RecordedUnit>(*bus_, std::move(recording), delayDivisor);
  platform_ = bus_;
  replay_->Start();
}

TIspPlatform::~TIspPlatform() {
  // The units are plugged into the bus: they leave it before it goes.
  setup_.reset();
  replay_.reset();
}

TIspApplication::TIspApplication(TIspApplicationOptions options)
    : loop_(options.CreateLoop ? options.CreateLoop() : toolkit::CreatePortableEventLoop()) {
  if (options.PaceDivisor) {
    options.Timing = TIspTiming{}.Scaled(*options.PaceDivisor);
    if (!options.Sim.pace) options.Sim.pace = *options.PaceDivisor;
  }
  if (options.SharedPlatform) {
    platform_ = std::move(options.SharedPlatform);
  } else if (options.Replay) {
    platform_ =
        std::make_shared<TIspPlatform>(std::move(*options.Replay), options.ReplayDelayDivisor);
  } else {
    platform_ = std::make_shared<TIspPlatform>(options.Simulate, options.Sim, options.SimReportTime,
                                               options.SimVocabulary);
  }
  messageBoxes_ = options.CreateMessageBoxes
                      ? options.CreateMessageBoxes(*loop_)
                      : std::make_unique<toolkit::ScriptedMessageBoxes>(*loop_);
  if (options.ExceptionBox) {
    loop_->SetExceptionBox(std::move(options.ExceptionBox));
  } else {
    toolkit::MessageBoxService* boxes = messageBoxes_.get();
    loop_->SetExceptionBox([boxes](const std::string& text) {
      boxes->Show(toolkit::MessageId::kUnspecified, text, toolkit::MessageSymbol::kError);
    });
  }
  std::shared_ptr<hid::HidPlatform> used = platform_->Platform();
  if (options.ChoosePlatform) {
    used = options.ChoosePlatform(*platform_);
    if (!used) return;
  }
  windowPlatform_ = std::move(used);
  windowTiming_ = options.Timing;
  windowTrafficObserver_ = std::move(options.TrafficObserver);
  mainWindow_ = std::make_unique<TfmIsp>(*loop_, *messageBoxes_, windowPlatform_, hidData_,
                                         progData_, windowTiming_, windowTrafficObserver_);
  diag::CentreOn(hidData_, *mainWindow_);
  diag::CentreOn(progData_, *mainWindow_);
}

void TIspApplication::RebuildMainWindow() {
  if (!mainWindow_) return;
  mainWindow_->Close();
  mainWindow_.reset();
  mainWindow_ = std::make_unique<TfmIsp>(*loop_, *messageBoxes_, windowPlatform_, hidData_,
                                         progData_, windowTiming_, windowTrafficObserver_);
}

TIspApplication::~TIspApplication() {
  mainWindow_.reset();
  // The boxes go before the loop: nothing may show an exception in them then.
  loop_->SetExceptionBox({});
}

void TIspApplication::PlaceMainWindow(int left, int top) {
  if (!mainWindow_) return;
  mainWindow_->SetBounds(left, top, TfmIsp::kWidth, TfmIsp::kHeight);
  diag::CentreOn(hidData_, *mainWindow_);
  diag::CentreOn(progData_, *mainWindow_);
}

void TIspApplication::CloseMainWindow() {
  if (mainWindow_) mainWindow_->Close();
}

void TIspApplication::DestroyMainWindow() {
  mainWindow_.reset();
}

}  // namespace kv
