#include "app/cli/update_tool.h"

#include "app/cli/cli_options.h"
#include "app/cli/exit_codes.h"
#include "app/cli/station.h"
#include "app/cli/tool_modes.h"
#include "app/cli/unit_query.h"
#include "app/cli/update_session.h"

namespace kv::cli {

int RunUpdateTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                  const TToolEnvironment& environment) {
  const TParseResult parsed = ParseCommandLine(args);
  if (!parsed.Options) {
    err << "kv93t-update: " << parsed.Error << '\n' << UsageHint() << '\n';
    return ToInt(TExitCode::kUsage);
  }
  const TCliOptions& options = *parsed.Options;
  switch (options.Mode) {
    case TToolMode::kHelp:
      out << UsageText();
      return ToInt(TExitCode::kUpdated);
    case TToolMode::kVersion:
      return ToInt(PrintVersion(out, err));
    case TToolMode::kCheck:
      return ToInt(CheckUnit(options, out, err));
    case TToolMode::kList:
      return ToInt(ListDevices(options, out, err));
    case TToolMode::kDump:
      return ToInt(DumpEmbeddedImage(options, out, err));
    case TToolMode::kUpdate:
      break;
  }
  if (options.Units != TUnitScope::kOne) {
    TStation station(options, out, err, environment.Interrupts, environment.OutIsTerminal,
                     environment.Columns);
    return ToInt(station.Run());
  }
  TUpdateSession session(options, out, err, environment.Interrupts, environment.OutIsTerminal,
                         environment.Columns);
  return ToInt(session.Run());
}

}  // namespace kv::cli
