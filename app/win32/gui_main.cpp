// kv93t-update-gui: the tool's window on Windows. Started without arguments it
// updates a unit attached by USB; --simulate (and --sim KEY=VALUE) attach the
// simulated unit instead, so it can be tried without hardware.
#include <windows.h>
// windows.h first: commctrl.h relies on its types.
#include <commctrl.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/cli_options.h"
#include "app/isp.h"
#include "app/win32/dpi.h"
#include "app/win32/form_windows.h"
#include "app/win32/gui_fonts.h"
#include "app/win32/message_boxes.h"
#include "diag/diag_windows.h"
#include "hid/hid_platform.h"
#include "hid/sim_bus.h"
#include "sim/simulated_setup.h"
#include "toolkit/win32_event_loop.h"

namespace {

constexpr int kExitUsage = 1;
constexpr int kExitCannotStart = 6;
constexpr const char* kToolName = "kv93t-update-gui";

constexpr const char* kGuiUsage =
    "Usage: kv93t-update-gui [--simulate] [--sim KEY=VALUE]...\n\n"
    "Without options the window updates a KV-93T attached by USB.\n"
    "--simulate attaches a simulated unit instead; --sim sets one of its options\n"
    "(see sim/README.md) and implies --simulate.";

void ShowStartupMessage(const std::string& text, UINT icon) {
  MessageBoxA(nullptr, text.c_str(), kToolName, MB_OK | icon);
}

// The command line's parser, restricted to what the window takes.
std::optional<kv::cli::TCliOptions> ParseGuiArguments(const std::vector<std::string>& args) {
  const kv::cli::TParseResult parsed = kv::cli::ParseCommandLine(args);
  if (!parsed.Options) {
    ShowStartupMessage(parsed.Error + "\n\n" + kGuiUsage, MB_ICONERROR);
    return std::nullopt;
  }
  const kv::cli::TCliOptions& options = *parsed.Options;
  const bool commandLineOnly = options.Mode == kv::cli::TToolMode::kList ||
                               options.Mode == kv::cli::TToolMode::kDump || options.Json ||
                               !options.TraceFile.empty() || options.TimeoutSeconds.has_value();
  if (commandLineOnly) {
    ShowStartupMessage("--list, --dump, --json, --trace and --timeout belong to kv93t-update.\n\n" +
                           std::string(kGuiUsage),
                       MB_ICONERROR);
    return std::nullopt;
  }
  if (options.Mode == kv::cli::TToolMode::kHelp || options.Mode == kv::cli::TToolMode::kVersion) {
    ShowStartupMessage(std::string(kv::TfmIsp::kCaption) + "\n\n" + kGuiUsage, MB_ICONINFORMATION);
    return std::nullopt;
  }
  return options;
}

int RunWindow(const kv::cli::TCliOptions& options) {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);

  std::unique_ptr<kv::toolkit::EventLoop> loop = kv::toolkit::CreateWin32EventLoop();
  kv::win32::TGuiFonts fonts(kv::TfmIsp::kButtonFontPixels, kv::TfmIsp::kTitleFontPixels);

  std::shared_ptr<kv::hid::HidPlatform> platform;
  std::shared_ptr<kv::hid::SimulatedHidBus> bus;
  std::unique_ptr<kv::sim::SimulatedSetup> setup;
  if (options.Simulate) {
    bus = std::make_shared<kv::hid::SimulatedHidBus>();
    // The unit judges the pace the window was told to keep, unless told otherwise.
    kv::sim::SimOptions simOptions = options.Sim;
    if (!simOptions.pace) simOptions.pace = options.PaceDivisor;
    setup = std::make_unique<kv::sim::SimulatedSetup>(*bus, simOptions);
    platform = bus;
  } else {
    // Without HID access the controller lists nothing: the window shows "No Device".
    platform = kv::hid::CreateSystemHidPlatform();
  }

  HWND mainWindow = nullptr;
  kv::win32::TWin32MessageBoxes boxes(*loop, fonts, std::string(kv::TfmIsp::kCaption),
                                      [&mainWindow] { return mainWindow; });
  loop->SetExceptionBox([&boxes](const std::string& text) {
    boxes.Show(kv::toolkit::MessageId::kUnspecified, text, kv::toolkit::MessageSymbol::kError);
  });

  kv::diag::TfmHidData fmHidData;
  kv::diag::TfmProgData fmProgData;
  {
    kv::TfmIsp fmIsp(*loop, boxes, platform, fmHidData, fmProgData,
                     kv::TIspTiming{}.Scaled(options.PaceDivisor));
    // Centred on the desktop; the diagnostic windows centred on it. The
    // models' bounds are in 96-DPI units, the screen's size in pixels.
    const kv::win32::TDpiScale screenScale(fonts.Dpi());
    fmIsp.SetBounds((screenScale.ToLayout(GetSystemMetrics(SM_CXSCREEN)) - kv::TfmIsp::kWidth) / 2,
                    (screenScale.ToLayout(GetSystemMetrics(SM_CYSCREEN)) - kv::TfmIsp::kHeight) / 2,
                    kv::TfmIsp::kWidth, kv::TfmIsp::kHeight);
    kv::diag::CentreOn(fmHidData, fmIsp);
    kv::diag::CentreOn(fmProgData, fmIsp);

    // fmIsp first, then fmHidData, then fmProgData; only the main window is shown.
    kv::win32::TIspWindow ispWindow(*loop, fmIsp, fonts);
    if (!ispWindow.Create(kv::win32::TIspWindow::kClassName, nullptr)) {
      ShowStartupMessage("The window cannot be created.", MB_ICONERROR);
      return kExitCannotStart;
    }
    mainWindow = ispWindow.Handle();
    kv::win32::THidDataWindow hidDataWindow(*loop, fmHidData, fonts);
    hidDataWindow.Create(kv::win32::THidDataWindow::kClassName, nullptr);
    kv::win32::TProgDataWindow progDataWindow(*loop, fmProgData, fonts);
    progDataWindow.Create(kv::win32::TProgDataWindow::kClassName, mainWindow);
    ispWindow.OnClosed = [&loop] { loop->Quit(); };
    fmIsp.Show();

    try {
      loop->Run();
    } catch (const std::exception& error) {
      boxes.Show(kv::toolkit::MessageId::kUnspecified, error.what(),
                 kv::toolkit::MessageSymbol::kError);
    } catch (...) {
      boxes.Show(kv::toolkit::MessageId::kUnspecified, std::string(),
                 kv::toolkit::MessageSymbol::kError);
    }
    mainWindow = nullptr;
  }
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  std::vector<std::string> args;
  for (int i = 1; i < __argc; ++i) args.emplace_back(__argv[i]);
  const std::optional<kv::cli::TCliOptions> options = ParseGuiArguments(args);
  if (!options) return kExitUsage;
  return RunWindow(*options);
}
