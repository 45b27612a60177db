#include "sim/fault_plan.h"

#include <algorithm>
#include <utility>

namespace kv::sim {
namespace {

bool SiteHasIndex(FaultSite site) {
  return site == FaultSite::kData || site == FaultSite::kParam || site == FaultSite::kDsp ||
         site == FaultSite::kCommand;
}

}  // namespace

FaultPlan::FaultPlan(std::vector<SimFault> faults)
    : faults_(std::move(faults)), fired_(faults_.size(), false) {}

std::vector<SimFault> FaultPlan::Take(FaultSite site, uint32_t index, uint32_t occurrence) {
  std::vector<SimFault> taken;
  for (size_t i = 0; i < faults_.size(); ++i) {
    const SimFault& fault = faults_[i];
    if (fired_[i] || fault.site != site) continue;
    if (SiteHasIndex(site) && fault.index != index) continue;
    if (site == FaultSite::kCommand && fault.occurrence != occurrence) continue;
    fired_[i] = true;
    taken.push_back(fault);
  }
  return taken;
}

size_t FaultPlan::Unfired() const {
  return static_cast<size_t>(std::count(fired_.begin(), fired_.end(), false));
}

}  // namespace kv::sim
