// The modes of kv93t-update besides the update itself.
#pragma once

#include <ostream>

#include "app/cli/cli_options.h"
#include "app/cli/exit_codes.h"

namespace kv::cli {

// --list: every HID interface seen, with vendor, product and the unit's
// personality where it is the unit.
TExitCode ListDevices(const TCliOptions& options, std::ostream& out, std::ostream& err);

// --dump mcu|dsp: the Program Data listing of one embedded image.
TExitCode DumpEmbeddedImage(const TCliOptions& options, std::ostream& out, std::ostream& err);

// --version: the tool's version and the identity of the firmware it carries.
TExitCode PrintVersion(std::ostream& out, std::ostream& err);

}  // namespace kv::cli
