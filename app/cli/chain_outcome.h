// What the message boxes of the window say about how the update chain ended.
// The command line acknowledges every box as OK would and ends on the ones
// after which the window would wait for the user (or for nothing).
#pragma once

#include <string_view>

#include "app/cli/exit_codes.h"
#include "toolkit/message_box.h"

namespace kv::cli {

enum class TBoxMeaning {
  kSuccess,            // " Program OK !! ": the closing command follows
  kRefusal,            // the unit check refused the unit: cmdCheckFailed follows
  kBootLoaderFailure,  // an ISP step's checksum echo was wrong; the chain stops
  kReadError,          // a read failed; the chain goes on (the answer may still come)
  kFailure,            // anything else: the chain stops (image, parameter data, ...)
};

TBoxMeaning ClassifyMessage(std::string_view text, toolkit::MessageSymbol symbol);

// The exit code a box ends the run with; kReadError ends nothing (Continues).
TExitCode ExitCodeFor(TBoxMeaning meaning);
bool EndsChain(TBoxMeaning meaning);

}  // namespace kv::cli
