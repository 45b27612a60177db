// The faults a unit is to inject, each fired once at the first request that
// matches its place.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/sim_options.h"

namespace kv::sim {

class FaultPlan {
 public:
  explicit FaultPlan(std::vector<SimFault> faults);

  // The faults not yet fired whose place is this one; they count as fired from now.
  // `index` is the data packet, parameter block, DSP chunk or command code;
  // `occurrence` the command's count (1 for its first).
  std::vector<SimFault> Take(FaultSite site, uint32_t index = 0, uint32_t occurrence = 1);

  size_t Unfired() const;

 private:
  std::vector<SimFault> faults_;
  std::vector<bool> fired_;
};

}  // namespace kv::sim
