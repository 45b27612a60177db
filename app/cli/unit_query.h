// --check: asks the unit its type (0x10) and its model and version text (0x13)
// and nothing else, so that nothing on the unit changes, and says whether this
// tool would update it.
#pragma once

#include <chrono>
#include <ostream>

#include "app/cli/cli_options.h"
#include "app/cli/exit_codes.h"
#include "hid/hid_platform.h"

namespace kv::cli {

// How long the unit has to answer each of the two questions.
inline constexpr auto kUnitAnswerLimit = std::chrono::seconds(2);

// 0: this tool would update the unit; 2: it would refuse it; 4: no unit
// answered; 1: several units and no --path.
TExitCode CheckUnit(const TCliOptions& options, std::ostream& out, std::ostream& err);
// The same on a platform that is available and that the caller holds, as a test
// holds its simulated units to see what they received.
TExitCode CheckUnitOn(hid::HidPlatform& platform, const TCliOptions& options, std::ostream& out);

}  // namespace kv::cli
