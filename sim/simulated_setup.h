// The whole simulated setup built from options: the bus's report time and N
// identical units, each powered up in its starting personality. What the tool's
// --simulate runs against, and what tests and benchmarks build.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "hid/sim_bus.h"
#include "sim/sim_options.h"
#include "sim/simulated_unit.h"

namespace kv::sim {

class SimulatedSetup {
 public:
  // The setup must be destroyed before the bus.
  SimulatedSetup(hid::SimulatedHidBus& bus, const SimOptions& options);
  ~SimulatedSetup();
  SimulatedSetup(const SimulatedSetup&) = delete;
  SimulatedSetup& operator=(const SimulatedSetup&) = delete;

  size_t UnitCount() const { return units_.size(); }
  SimulatedUnit& Unit(size_t index) { return *units_.at(index); }
  const SimulatedUnit& Unit(size_t index) const { return *units_.at(index); }
  const SimOptions& Options() const { return options_; }

  std::vector<UnitVerdict> Verdicts() const;
  // Every unit clean.
  bool AllClean() const;
  // Every unit clean, with both images in place.
  bool AllUpdated() const;
  // Every unit's lines, each prefixed with "unit N: ".
  std::string VerdictText() const;

 private:
  SimOptions options_;
  std::vector<std::unique_ptr<SimulatedUnit>> units_;
};

}  // namespace kv::sim
