// Shared by the main window's own files (app/isp*.cpp) and no one else: the
// status bar's panel numbers and the conversions to the toolkit's and the link's
// millisecond counts.
#pragma once

#include <chrono>

namespace kv::isp_detail {

// Status bar panels.
inline constexpr int kPanelSession = 0;     // "Disconnect"
inline constexpr int kPanelConnection = 1;  // "No Device", "Detect Run HID", "Detect Update HID"

// The toolkit's timers and the link take whole milliseconds.
inline int WholeMilliseconds(std::chrono::milliseconds interval) {
  return static_cast<int>(interval.count());
}

}  // namespace kv::isp_detail
