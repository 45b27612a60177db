#include "app/cli/chain_outcome.h"

#include <array>

#include "engine/engine_texts.h"

namespace kv::cli {

namespace {

constexpr std::array kRefusals{texts::kWrongUnitType, texts::kTooOldVersion, texts::kTooNewVersion};
constexpr std::array kBootLoaderFailures{texts::kIspStartError,     texts::kIspSyncError,
                                         texts::kEraseAllError,     texts::kGetIdError,
                                         texts::kProgramStartError, texts::kProgramDataError};

template <size_t N>
bool OneOf(std::string_view text, const std::array<std::string_view, N>& texts) {
  for (std::string_view candidate : texts) {
    if (text == candidate) return true;
  }
  return false;
}

}  // namespace

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
    case TExitCode::kInterrupted:
      return "interrupted";
  }
  return "failed";
}

TBoxMeaning ClassifyMessage(std::string_view text, toolkit::MessageSymbol symbol) {
  // Texts first: the symbols alone do not tell a refusal from a read error.
  if (text == texts::kProgramOk) return TBoxMeaning::kSuccess;
  if (OneOf(text, kRefusals)) return TBoxMeaning::kRefusal;
  if (symbol == toolkit::MessageSymbol::kError && OneOf(text, kBootLoaderFailures)) {
    return TBoxMeaning::kBootLoaderFailure;
  }
  if (text.starts_with(texts::kReadErrorPrefix)) return TBoxMeaning::kReadError;
  return TBoxMeaning::kFailure;
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
