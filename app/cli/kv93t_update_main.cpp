// kv93t-update: the update tool on the command line. Everything but the
// console's own concerns lives in kv_cli.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include "app/cli/interrupt.h"
#include "app/cli/update_tool.h"

namespace {

bool StandardOutputIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stdout)) != 0;
#else
  return isatty(STDOUT_FILENO) != 0;
#endif
}

int TerminalColumns() {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
#else
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  // First, before any thread exists: Ctrl-C must reach the watcher alone.
  kv::cli::TInterruptHub interrupts;
  kv::cli::TConsoleInterruptWatch watch(interrupts);
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  kv::cli::TToolEnvironment environment;
  environment.OutIsTerminal = StandardOutputIsTerminal();
  environment.Interrupts = &interrupts;
  environment.Columns = TerminalColumns;
  // Standard output is written by the session's own writer thread: a write to
  // standard error must not flush it from this one.
  std::cerr.tie(nullptr);
  return kv::cli::RunUpdateTool(args, std::cout, std::cerr, environment);
}
