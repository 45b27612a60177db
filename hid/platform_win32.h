// Pieces of the Windows binding that tests reach directly: the hidden window
// that receives WM_DEVICECHANGE, and the overlapped read machinery, which a
// test drives through a named pipe since no unit is attached.
#pragma once

#include <windows.h>

#include <memory>

#include "hid/hid_platform.h"

namespace kv::hid::win32 {

// The hidden device-change window of a platform made by
// CreateSystemHidPlatform; null while no handler is set or when the HID
// libraries are missing.
HWND DeviceChangeWindowOf(HidPlatform& platform);

// Wraps an open file handle as a HidHandle; it takes ownership of `file`.
// Attributes and capabilities are unavailable (no HID library behind it);
// Write needs a synchronous handle and Read an overlapped one.
std::unique_ptr<HidHandle> AdoptFileHandle(HANDLE file, bool overlapped);

}  // namespace kv::hid::win32
