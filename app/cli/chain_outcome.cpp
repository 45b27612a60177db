#include "app/cli/chain_outcome.h"

#include "engine/engine_texts.h"

namespace kv::cli {

const char* ExitCodeName(TExitCode code) {
  switch (code) {
    case TExitCode::kUpdated:
      return "updated";
    case TExitCode::kUsage:
      return "usage";
    case TExitCode::kRefused:
      return "refused";
    case TExitCode::kBootLoaderFailure:
      return "boot-loader-failure";
    case TExitCode::kNoProgress:
      return "no-progress";
    case TExitCode::kVerificationFailed:
      return "verification-failed";
    case TExitCode::kFailed:
      return "failed";
    case TExitCode::kReplayDiverged:
      return "replay-diverged";
    case TExitCode::kInterrupted:
      return "interrupted";
  }
  return "failed";
}

TBoxMeaning ClassifyMessage(toolkit::MessageId id) {
  using texts::TMessageId;
  switch (texts::MessageOf(id)) {
    case TMessageId::kProgramOk:
      return TBoxMeaning::kSuccess;
    case TMessageId::kWrongUnitType:
    case TMessageId::kTooOldVersion:
    case TMessageId::kTooNewVersion:
      return TBoxMeaning::kRefusal;
    case TMessageId::kIspStartError:
    case TMessageId::kIspSyncError:
    case TMessageId::kEraseAllError:
    case TMessageId::kGetIdError:
    case TMessageId::kProgramStartError:
    case TMessageId::kProgramDataError:
      return TBoxMeaning::kBootLoaderFailure;
    case TMessageId::kReadError:
      return TBoxMeaning::kReadError;
    case TMessageId::kParamBlockIndex:
    case TMessageId::kParamSelector:
    case TMessageId::kImageChecksumError:
    case TMessageId::kImageNotARecord:
    case TMessageId::kImageBeyondBound:
    case TMessageId::kImageNoEndOfFile:
      return TBoxMeaning::kFailure;
  }
  return TBoxMeaning::kFailure;  // a box the catalogue does not know
}

const char* MessageIdName(toolkit::MessageId id) {
  using texts::TMessageId;
  switch (texts::MessageOf(id)) {
    case TMessageId::kProgramOk:
      return "program-ok";
    case TMessageId::kWrongUnitType:
      return "wrong-unit-type";
    case TMessageId::kTooOldVersion:
      return "too-old-version";
    case TMessageId::kTooNewVersion:
      return "too-new-version";
    case TMessageId::kIspStartError:
      return "isp-start-error";
    case TMessageId::kIspSyncError:
      return "isp-sync-error";
    case TMessageId::kEraseAllError:
      return "erase-all-error";
    case TMessageId::kGetIdError:
      return "get-id-error";
    case TMessageId::kProgramStartError:
      return "program-start-error";
    case TMessageId::kProgramDataError:
      return "program-data-error";
    case TMessageId::kParamBlockIndex:
      return "parameter-block-index";
    case TMessageId::kParamSelector:
      return "parameter-key-selector";
    case TMessageId::kImageChecksumError:
      return "image-checksum-error";
    case TMessageId::kImageNotARecord:
      return "image-not-a-record";
    case TMessageId::kImageBeyondBound:
      return "image-beyond-flash";
    case TMessageId::kImageNoEndOfFile:
      return "image-no-end-record";
    case TMessageId::kReadError:
      return "read-error";
  }
  return "unspecified";
}

TExitCode ExitCodeFor(TBoxMeaning meaning) {
  switch (meaning) {
    case TBoxMeaning::kSuccess:
      return TExitCode::kUpdated;
    case TBoxMeaning::kRefusal:
      return TExitCode::kRefused;
    case TBoxMeaning::kBootLoaderFailure:
      return TExitCode::kBootLoaderFailure;
    case TBoxMeaning::kReadError:
    case TBoxMeaning::kFailure:
      return TExitCode::kFailed;
  }
  return TExitCode::kFailed;
}

bool EndsChain(TBoxMeaning meaning) {
  return meaning != TBoxMeaning::kReadError;
}

}  // namespace kv::cli
