// How kv93t-update ends, for the scripts that run it. The numbers are part of
// the tool's interface: never renumber one.
#pragma once

namespace kv::cli {

enum class TExitCode : int {
  kUpdated = 0,             // " Program OK !! " shown and the closing command sent
  kUsage = 1,               // unknown option or malformed value; nothing was done
  kRefused = 2,             // the unit check refused the unit (type or version)
  kBootLoaderFailure = 3,   // a boot-loader step failed (the error boxes of the ISP steps)
  kNoProgress = 4,          // no unit found, or the chain stalled, within --timeout
  kVerificationFailed = 5,  // --simulate: the chain ended well, the simulated unit disagrees
  kFailed = 6,              // anything else: image, parameter data, read error, exception
  kReplayDiverged = 7,      // --replay: the tool parted from its recording
  kInterrupted = 130,       // Ctrl-C: the session was closed on the user's request
};

inline int ToInt(TExitCode code) {
  return static_cast<int>(code);
}

// "updated", "usage", ... as --json reports it.
const char* ExitCodeName(TExitCode code);

}  // namespace kv::cli
