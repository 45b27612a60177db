#include "sim/simulated_setup.h"

#include <algorithm>
#include <chrono>

namespace kv::sim {

SimulatedSetup::SimulatedSetup(hid::SimulatedHidBus& bus, const SimOptions& options)
    : options_(options) {
  bus.SetReportTime(std::chrono::milliseconds(options.usb_ms));
  int count = std::max(options.units, 1);
  for (int number = 1; number <= count; ++number) {
    units_.push_back(std::make_unique<SimulatedUnit>(bus, options.ForUnit(number), number));
  }
  for (auto& unit : units_) unit->PowerUp();
}

SimulatedSetup::~SimulatedSetup() = default;

std::vector<UnitVerdict> SimulatedSetup::Verdicts() const {
  std::vector<UnitVerdict> verdicts;
  for (const auto& unit : units_) verdicts.push_back(unit->Verdict());
  return verdicts;
}

bool SimulatedSetup::AllClean() const {
  std::vector<UnitVerdict> verdicts = Verdicts();
  return std::all_of(verdicts.begin(), verdicts.end(),
                     [](const UnitVerdict& verdict) { return verdict.clean; });
}

bool SimulatedSetup::AllUpdated() const {
  std::vector<UnitVerdict> verdicts = Verdicts();
  return std::all_of(verdicts.begin(), verdicts.end(),
                     [](const UnitVerdict& verdict) { return verdict.UpdateComplete(); });
}

std::string SimulatedSetup::VerdictText() const {
  std::string text;
  for (const auto& unit : units_) {
    for (const std::string& line : unit->Verdict().lines) {
      text += "unit " + std::to_string(unit->Number()) + ": " + line + "\n";
    }
  }
  return text;
}

}  // namespace kv::sim
