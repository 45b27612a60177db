// kv93t-update as a library: main() and the tests run the same code.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "app/cli/interrupt.h"
#include "app/cli/session_report.h"

namespace kv::cli {

struct TToolEnvironment {
  // Standard output is a terminal: a live line instead of plain lines.
  bool OutIsTerminal = false;
  // Ctrl-C, when the caller watches for it.
  TInterruptHub* Interrupts = nullptr;
  // The terminal's width, asked at each redraw of the live line.
  TColumnsQuery Columns;
};

// Runs the tool with the arguments after the program name and returns its exit
// code (exit_codes.h). Progress and results go to `out`, usage errors and
// problems with the tool itself to `err`.
int RunUpdateTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                  const TToolEnvironment& environment = {});

}  // namespace kv::cli
