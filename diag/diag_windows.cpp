#include "diag/diag_windows.h"

#include <utility>

namespace kv::diag {

void TfmHidData::AddTrafficLine(std::string line) {
  if (!Visible()) return;
  const int index = hbHidData.AddItem(std::move(line));
  hbHidData.SetItemIndex(index);
}

void TfmProgData::ReplaceListing(const std::string& listing) {
  moShowCode.Clear();
  if (!listing.empty()) moShowCode.AddText(listing);
}

void CentreOn(toolkit::Form& window, const toolkit::Form& main_window) {
  const int left = main_window.Left() + (main_window.Width() - window.Width()) / 2;
  const int top = main_window.Top() + (main_window.Height() - window.Height()) / 2;
  window.SetPosition(left, top);
}

}  // namespace kv::diag
