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
#include <utility>
#include <vector>

#include "app/cli/cli_options.h"
#include "app/isp.h"
#include "app/isp_application.h"
#include "app/win32/dpi.h"
#include "app/win32/form_windows.h"
#include "app/win32/gui_fonts.h"
#include "app/win32/message_boxes.h"
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
                               !options.TraceFile.empty() || !options.ReplayFile.empty() ||
                               options.TimeoutSeconds.has_value();
  if (commandLineOnly) {
    ShowStartupMessage(
        "--list, --dump, --json, --trace, --replay and --timeout belong to kv93t-update.\n\n" +
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

  // The fonts and the main window's handle outlive the root: its boxes use them.
  kv::win32::TGuiFonts fonts(kv::TfmIsp::kButtonFontPixels, kv::TfmIsp::kTitleFontPixels);
  HWND mainWindow = nullptr;

  kv::TIspApplicationOptions appOptions;
  // Without HID access the controller lists nothing: the window shows "No Device".
  appOptions.Simulate = options.Simulate;
  appOptions.Sim = options.Sim;
  // The unit judges the pace the window was told to keep, unless told otherwise.
  appOptions.PaceDivisor = options.PaceDivisor;
  appOptions.CreateLoop = kv::toolkit::CreateWin32EventLoop;
  appOptions.CreateMessageBoxes = [&fonts, &mainWindow](kv::toolkit::EventLoop& loop) {
    return std::make_unique<kv::win32::TWin32MessageBoxes>(
        loop, fonts, std::string(kv::TfmIsp::kCaption), [&mainWindow] { return mainWindow; });
  };
  // Exceptions from handlers: the root's default, an error box.
  kv::TIspApplication application(std::move(appOptions));
  kv::toolkit::EventLoop& loop = application.Loop();
  kv::TfmIsp& fmIsp = *application.MainWindow();
  {
    // Centred on the desktop; the diagnostic windows centred on it. The
    // models' bounds are in 96-DPI units, the screen's size in pixels.
    const kv::win32::TDpiScale screenScale(fonts.Dpi());
    application.PlaceMainWindow(
        (screenScale.ToLayout(GetSystemMetrics(SM_CXSCREEN)) - kv::TfmIsp::kWidth) / 2,
        (screenScale.ToLayout(GetSystemMetrics(SM_CYSCREEN)) - kv::TfmIsp::kHeight) / 2);

    // fmIsp first, then fmHidData, then fmProgData; only the main window is shown.
    kv::win32::TIspWindow ispWindow(loop, fmIsp, fonts);
    if (!ispWindow.Create(kv::win32::TIspWindow::kClassName, nullptr)) {
      ShowStartupMessage("The window cannot be created.", MB_ICONERROR);
      return kExitCannotStart;
    }
    mainWindow = ispWindow.Handle();
    kv::win32::THidDataWindow hidDataWindow(loop, application.HidData(), fonts);
    hidDataWindow.Create(kv::win32::THidDataWindow::kClassName, nullptr);
    kv::win32::TProgDataWindow progDataWindow(loop, application.ProgData(), fonts);
    progDataWindow.Create(kv::win32::TProgDataWindow::kClassName, mainWindow);
    ispWindow.OnClosed = [&loop] { loop.Quit(); };
    fmIsp.Show();

    try {
      loop.Run();
    } catch (const std::exception& error) {
      application.MessageBoxes().Show(kv::toolkit::MessageId::kUnspecified, error.what(),
                                      kv::toolkit::MessageSymbol::kError);
    } catch (...) {
      application.MessageBoxes().Show(kv::toolkit::MessageId::kUnspecified, std::string(),
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
