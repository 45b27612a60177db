// What the message boxes of the window say about how the update chain ended,
// told by the message's identifier. The command line acknowledges every box as
// OK would and ends on the ones after which the window would wait for the user
// (or for nothing).
#pragma once

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

TBoxMeaning ClassifyMessage(toolkit::MessageId id);

// The exit code a box ends the run with; kReadError ends nothing.
TExitCode ExitCodeFor(TBoxMeaning meaning);
bool EndsChain(TBoxMeaning meaning);

// The message's stable name in --json ("program-ok", "wrong-unit-type", ...).
const char* MessageIdName(toolkit::MessageId id);

}  // namespace kv::cli
