// The two diagnostic windows: the HID traffic log (module Fhiddata) and the
// Program Data view (module Fprogdata). Both are created hidden at start-up and
// live as long as the application; other parts fill them from outside.
#pragma once

#include <string>

#include "toolkit/controls.h"

namespace kv::diag {

// "Hid Data": every report written to the unit and every input report passed on
// to the link, one line each, but only while the window is visible.
class TfmHidData : public toolkit::Form {
 public:
  static constexpr int kWidth = 654;
  static constexpr int kHeight = 545;
  static constexpr int kItemHeight = 13;

  TfmHidData() : toolkit::Form("Hid Data", kWidth, kHeight) {}

  // Appends the line and selects it, which scrolls the list to it. Reports that
  // pass while the window is hidden are not recorded anywhere.
  void AddTrafficLine(std::string line);

  toolkit::ListBox hbHidData;
};

// "Program Data": the listing of the image prepared last.
class TfmProgData : public toolkit::Form {
 public:
  static constexpr int kWidth = 654;
  static constexpr int kHeight = 545;

  TfmProgData() : toolkit::Form("Program Data", kWidth, kHeight) {}

  // Empties the memo, then adds the whole listing in one step, visible or not.
  void ReplaceListing(const std::string& listing);

  toolkit::Memo moShowCode{"Memo1"};
};

// Places a diagnostic window centred on the main window, as both start out.
void CentreOn(toolkit::Form& window, const toolkit::Form& main_window);

}  // namespace kv::diag
