// The Windows binding: HID interfaces listed through SetupAPI, queried through
// hid.dll (both loaded at run time, so the tool starts even where they are
// missing), each one's USB port read from the device tree through cfgmgr32
// (loaded the same way, and only wanted for the port), reports moved with file
// I/O, and plug and unplug seen by a hidden top-level window that receives the
// system's WM_DEVICECHANGE broadcast.
#include "hid/platform_win32.h"
#include "hid/interface_gone.h"
#include "toolkit/thread_annotations.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <dbt.h>
// windows.h first: these rely on its types.
#include <hidsdi.h>
#include <setupapi.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace kv::hid {
namespace {

// System values this binding exchanges with SetupAPI, the HID class and the
// window manager.
enum SystemValue : DWORD {
  kPresentInterfacesOfClass = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE,  // 0x12
  kSharedReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE,
  kQueryEndSessionAllowed = 1,  // answer to WM_QUERYENDSESSION: the session may end
  kDeviceChangeHandled = TRUE,  // answer to WM_DEVICECHANGE: grants query-remove requests too
};

// Sleep slices are given by the caller; these bound the waits of the binding itself.
constexpr DWORD kCancelCompletionLimitMs = 1000;  // cancelled read until its buffer is free
constexpr auto kWindowStartLimit = std::chrono::seconds(5);

constexpr char kHidLibrary[] = "hid.dll";
constexpr char kSetupLibrary[] = "setupapi.dll";
constexpr char kConfigLibrary[] = "cfgmgr32.dll";
constexpr char kWindowClassName[] = "KvHidDeviceChangeWindow";

using HidDGetHidGuidFn = void(WINAPI*)(LPGUID);
using HidDGetAttributesFn = BOOLEAN(WINAPI*)(HANDLE, PHIDD_ATTRIBUTES);
using HidDGetPreparsedDataFn = BOOLEAN(WINAPI*)(HANDLE, PHIDP_PREPARSED_DATA*);
using HidDFreePreparsedDataFn = BOOLEAN(WINAPI*)(PHIDP_PREPARSED_DATA);
using HidPGetCapsFn = NTSTATUS(WINAPI*)(PHIDP_PREPARSED_DATA, PHIDP_CAPS);
using SetupDiGetClassDevsAFn = HDEVINFO(WINAPI*)(const GUID*, PCSTR, HWND, DWORD);
using SetupDiEnumDeviceInterfacesFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                                    PSP_DEVICE_INTERFACE_DATA);
using SetupDiGetDeviceInterfaceDetailAFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD,
                                                         PDWORD, PSP_DEVINFO_DATA);
using SetupDiGetDeviceInstanceIdAFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, PSTR, DWORD,
                                                    PDWORD);
using SetupDiDestroyDeviceInfoListFn = BOOL(WINAPI*)(HDEVINFO);
using CmGetParentFn = CONFIGRET(WINAPI*)(PDEVINST, DEVINST, ULONG);
using CmGetDeviceIdAFn = CONFIGRET(WINAPI*)(DEVINST, PCHAR, ULONG, ULONG);
using CmGetDevNodePropertyWFn = CONFIGRET(WINAPI*)(DEVINST, const DEVPROPKEY*, DEVPROPTYPE*, PBYTE,
                                                   PULONG, ULONG);
using CmGetDevNodeRegistryPropertyWFn = CONFIGRET(WINAPI*)(DEVINST, ULONG, PULONG, PVOID, PULONG,
                                                           ULONG);

// DEVPKEY_Device_LocationPaths, spelled out here: devpkey.h only declares it,
// and no import library of the toolchain defines it.
constexpr DEVPROPKEY kLocationPathsKey = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 37};

// Only from the system directory, so that a DLL of the same name beside the
// tool is never picked up. Systems without the flag (Windows 7 before
// KB2533623) reject it and get the plain search.
HMODULE LoadSystemLibrary(const char* name) {
  HMODULE module = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) module = LoadLibraryA(name);
  return module;
}

template <typename Function>
bool Bind(HMODULE module, const char* name, Function& function) {
  const FARPROC address = GetProcAddress(module, name);
  // Through void(*)(), the one function pointer type every other converts to
  // without a cast-function-type warning.
  function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
  return address != nullptr;
}

// hid.dll and setupapi.dll, kept loaded while the platform or any handle it
// opened needs them; cfgmgr32.dll beside them when it can be had.
class HidLibraries {
 public:
  static std::shared_ptr<const HidLibraries> Load() {
    auto libraries = std::shared_ptr<HidLibraries>(new HidLibraries());
    if (!libraries->LoadAll()) return nullptr;
    return libraries;
  }
  ~HidLibraries() {
    if (hid_ != nullptr) FreeLibrary(hid_);
    if (setup_ != nullptr) FreeLibrary(setup_);
    if (config_ != nullptr) FreeLibrary(config_);
  }
  HidLibraries(const HidLibraries&) = delete;
  HidLibraries& operator=(const HidLibraries&) = delete;

  HidDGetHidGuidFn HidD_GetHidGuid = nullptr;
  HidDGetAttributesFn HidD_GetAttributes = nullptr;
  HidDGetPreparsedDataFn HidD_GetPreparsedData = nullptr;
  HidDFreePreparsedDataFn HidD_FreePreparsedData = nullptr;
  HidPGetCapsFn HidP_GetCaps = nullptr;
  SetupDiGetClassDevsAFn SetupDiGetClassDevsA = nullptr;
  SetupDiEnumDeviceInterfacesFn SetupDiEnumDeviceInterfaces = nullptr;
  SetupDiGetDeviceInterfaceDetailAFn SetupDiGetDeviceInterfaceDetailA = nullptr;
  SetupDiGetDeviceInstanceIdAFn SetupDiGetDeviceInstanceIdA = nullptr;
  SetupDiDestroyDeviceInfoListFn SetupDiDestroyDeviceInfoList = nullptr;
  // For the port alone: each may be null, and a port that cannot be read is
  // left empty while the interface is still listed.
  CmGetParentFn CM_Get_Parent = nullptr;
  CmGetDeviceIdAFn CM_Get_Device_IDA = nullptr;
  CmGetDevNodePropertyWFn CM_Get_DevNode_PropertyW = nullptr;  // Vista and later
  CmGetDevNodeRegistryPropertyWFn CM_Get_DevNode_Registry_PropertyW = nullptr;

 private:
  HidLibraries() = default;

  bool LoadAll() {
    hid_ = LoadSystemLibrary(kHidLibrary);
    setup_ = LoadSystemLibrary(kSetupLibrary);
    if (hid_ == nullptr || setup_ == nullptr) return false;
    LoadPortQueries();
    return Bind(hid_, "HidD_GetHidGuid", HidD_GetHidGuid) &&
           Bind(hid_, "HidD_GetAttributes", HidD_GetAttributes) &&
           Bind(hid_, "HidD_GetPreparsedData", HidD_GetPreparsedData) &&
           Bind(hid_, "HidD_FreePreparsedData", HidD_FreePreparsedData) &&
           Bind(hid_, "HidP_GetCaps", HidP_GetCaps) &&
           Bind(setup_, "SetupDiGetClassDevsA", SetupDiGetClassDevsA) &&
           Bind(setup_, "SetupDiEnumDeviceInterfaces", SetupDiEnumDeviceInterfaces) &&
           Bind(setup_, "SetupDiGetDeviceInterfaceDetailA", SetupDiGetDeviceInterfaceDetailA) &&
           Bind(setup_, "SetupDiGetDeviceInstanceIdA", SetupDiGetDeviceInstanceIdA) &&
           Bind(setup_, "SetupDiDestroyDeviceInfoList", SetupDiDestroyDeviceInfoList);
  }

  void LoadPortQueries() {
    config_ = LoadSystemLibrary(kConfigLibrary);
    if (config_ == nullptr) return;
    // Without the climb neither property can be reached.
    if (!Bind(config_, "CM_Get_Parent", CM_Get_Parent) ||
        !Bind(config_, "CM_Get_Device_IDA", CM_Get_Device_IDA)) {
      CM_Get_Parent = nullptr;
      CM_Get_Device_IDA = nullptr;
      return;
    }
    Bind(config_, "CM_Get_DevNode_PropertyW", CM_Get_DevNode_PropertyW);
    Bind(config_, "CM_Get_DevNode_Registry_PropertyW", CM_Get_DevNode_Registry_PropertyW);
  }

  HMODULE hid_ = nullptr;
  HMODULE setup_ = nullptr;
  HMODULE config_ = nullptr;
};

// ---------------------------------------------------------------------------
// The USB port of an interface

// Device instance ids are upper case as the system makes them; compared
// without regard to case all the same, as the system does.
bool StartsWithNoCase(const char* text, const char* prefix) {
  return _strnicmp(text, prefix, std::strlen(prefix)) == 0;
}
bool ContainsNoCase(const char* text, const char* part) {
  const size_t length = std::strlen(part);
  for (; *text != '\0'; ++text) {
    if (_strnicmp(text, part, length) == 0) return true;
  }
  return false;
}

// The USB device node a HID device node belongs to. Its parent is the device
// itself for a device with one interface; for a composite device it is the
// USB interface node ("USB\VID_xxxx&PID_xxxx&MI_nn\..."), whose own parent is the
// device. Only USB nodes are climbed through: a HID device over Bluetooth or
// a virtual bus has no port of its own, and the USB radio or host controller
// further up would name one that many devices share.
std::optional<DEVINST> UsbDeviceNodeOf(const HidLibraries& libraries, DEVINST hid_node) {
  if (libraries.CM_Get_Parent == nullptr || libraries.CM_Get_Device_IDA == nullptr)
    return std::nullopt;
  // The device, or its interface and then the device.
  constexpr int kLevelsToTheDevice = 2;
  DEVINST node = hid_node;
  for (int level = 0; level < kLevelsToTheDevice; ++level) {
    DEVINST parent = 0;
    if (libraries.CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return std::nullopt;
    // One more than the longest id, so that it is always terminated.
    std::array<char, MAX_DEVICE_ID_LEN + 1> id{};
    if (libraries.CM_Get_Device_IDA(parent, id.data(), MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
      return std::nullopt;
    if (!StartsWithNoCase(id.data(), "USB\\")) return std::nullopt;
    if (!ContainsNoCase(id.data(), "&MI_")) return parent;
    node = parent;
  }
  return std::nullopt;
}

// Far above any location a system gives (a location path of ten hubs is under
// 200 characters); a driver that claims more is not believed.
constexpr ULONG kPropertyLimitBytes = 16 * 1024;

// A configuration-manager text property asked for twice, for its size and
// then for itself. Null when the property is missing, of another type, too
// long, or grew between the calls. The buffer holds one zero character more
// than the property, so that whatever the property holds, it is terminated.
template <typename Query>
std::optional<std::vector<WCHAR>> WideTextProperty(Query query, ULONG wanted_type) {
  ULONG type = 0;
  ULONG bytes = 0;
  if (query(type, nullptr, bytes) != CR_BUFFER_SMALL || bytes == 0 || bytes > kPropertyLimitBytes)
    return std::nullopt;
  std::vector<WCHAR> text((bytes + 1) / sizeof(WCHAR) + 1, L'\0');
  if (query(type, text.data(), bytes) != CR_SUCCESS || type != wanted_type) return std::nullopt;
  return text;
}

// The first string of a terminated wide text, in UTF-8; null when there is
// none or it is empty.
std::optional<std::string> FirstStringOf(const std::optional<std::vector<WCHAR>>& property) {
  if (!property) return std::nullopt;
  const std::vector<WCHAR>& text = *property;
  const size_t length = wcsnlen(text.data(), text.size());
  if (length == 0) return std::nullopt;
  const int wide_length = static_cast<int>(length);
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), wide_length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::nullopt;
  std::string result(static_cast<size_t>(size), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, text.data(), wide_length, result.data(), size, nullptr,
                          nullptr) != size)
    return std::nullopt;
  return result;
}

// Where a HID interface's USB device is plugged in, the same whichever product
// id the device enumerates with; empty when the system does not tell. Never a
// reason to leave the interface out of a scan.
std::string UsbPortOf(const HidLibraries& libraries, DEVINST hid_node) {
  // No USB device above the node: not on USB, or a system that keeps no tree
  // (wine 8 gives its HID nodes no parent at all).
  const std::optional<DEVINST> device = UsbDeviceNodeOf(libraries, hid_node);
  if (!device) return {};
  // The location path, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(1)": the
  // whole way from the root, unique on the machine. A list; the first entry is
  // the one the system itself goes by.
  if (libraries.CM_Get_DevNode_PropertyW != nullptr) {
    const auto paths = WideTextProperty(
        [&](ULONG& type, WCHAR* buffer, ULONG& bytes) {
          return libraries.CM_Get_DevNode_PropertyW(*device, &kLocationPathsKey, &type,
                                                    reinterpret_cast<PBYTE>(buffer), &bytes, 0);
        },
        DEVPROP_TYPE_STRING_LIST);
    if (auto first = FirstStringOf(paths)) return *first;
  }
  // Where the device has no location path (or the system no function to read
  // it), the hub's location information, "Port_#0002.Hub_#0001": the port and
  // hub numbers, still the same through a re-enumeration, though two hubs of
  // one machine may share them.
  if (libraries.CM_Get_DevNode_Registry_PropertyW != nullptr) {
    const auto location = WideTextProperty(
        [&](ULONG& type, WCHAR* buffer, ULONG& bytes) {
          return libraries.CM_Get_DevNode_Registry_PropertyW(*device, CM_DRP_LOCATION_INFORMATION,
                                                             &type, buffer, &bytes, 0);
        },
        REG_SZ);
    if (auto text = FirstStringOf(location)) return *text;
  }
  return {};
}

std::string SystemErrorText(DWORD error) {
  char text[512] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, text, sizeof text, nullptr);
  std::string result(text, length);
  // The system ends its texts with a line break, which a message box would show.
  while (!result.empty() &&
         (result.back() == '\r' || result.back() == '\n' || result.back() == ' '))
    result.pop_back();
  if (result.empty()) result = "Unknown error " + std::to_string(error);
  return result;
}

// A completed ReadFileEx queues this routine to the reading thread; the
// reader looks at the OVERLAPPED record itself, so the routine touches
// nothing and a late call after the handle is gone does no harm.
VOID CALLBACK IgnoreReadCompletion(DWORD, DWORD, LPOVERLAPPED) {}

// Queued by CancelRead: ends the reader's alertable sleep at once.
VOID CALLBACK WakeReader(ULONG_PTR) {}

// The OVERLAPPED record and the buffer of one read. They must stay in place
// until the system is done with them, which is why they live apart from the
// caller's buffer and outlast a read that never confirms its cancellation.
struct OverlappedRead {
  OVERLAPPED overlapped{};
  std::vector<uint8_t> buffer;
  bool Completed() const { return HasOverlappedIoCompleted(&overlapped); }
};

class Win32HidHandle : public HidHandle {
 public:
  Win32HidHandle(std::shared_ptr<const HidLibraries> libraries, HANDLE file, bool overlapped)
      : libraries_(std::move(libraries)), file_(file), overlapped_(overlapped) {}

  ~Win32HidHandle() override {
    if (read_ && !read_->Completed()) {
      CancelIoEx(file_, &read_->overlapped);
      // An overlapped file handle is signalled when its I/O completes.
      WaitForSingleObject(file_, kCancelCompletionLimitMs);
      if (!read_->Completed()) read_.release();  // still the system's: leaked, never reused
    }
    CloseHandle(file_);
    if (preparsed_ != nullptr) libraries_->HidD_FreePreparsedData(preparsed_);
    if (reader_thread_ != nullptr) CloseHandle(reader_thread_);
  }
  Win32HidHandle(const Win32HidHandle&) = delete;
  Win32HidHandle& operator=(const Win32HidHandle&) = delete;

  bool GetAttributes(HidAttributes& attributes) override {
    if (!libraries_) return false;
    HIDD_ATTRIBUTES system_attributes{};
    system_attributes.Size = sizeof system_attributes;
    if (!libraries_->HidD_GetAttributes(file_, &system_attributes)) return false;
    attributes.VendorID = system_attributes.VendorID;
    attributes.ProductID = system_attributes.ProductID;
    attributes.VersionNumber = system_attributes.VersionNumber;
    return true;
  }

  bool GetCaps(HidCaps& caps) override {
    if (!libraries_) return false;
    MutexLock lock(preparsed_mutex_);
    if (preparsed_ == nullptr && !libraries_->HidD_GetPreparsedData(file_, &preparsed_)) {
      preparsed_ = nullptr;
      return false;
    }
    HIDP_CAPS system_caps{};
    if (libraries_->HidP_GetCaps(preparsed_, &system_caps) != HIDP_STATUS_SUCCESS) return false;
    caps.Usage = system_caps.Usage;
    caps.UsagePage = system_caps.UsagePage;
    caps.InputReportByteLength = system_caps.InputReportByteLength;
    caps.OutputReportByteLength = system_caps.OutputReportByteLength;
    caps.FeatureReportByteLength = system_caps.FeatureReportByteLength;
    return true;
  }

  bool Write(const uint8_t* data, size_t count, size_t& written) override {
    written = 0;
    // A synchronous write on a handle opened for overlapped I/O is not defined.
    if (data == nullptr || count == 0 || count > MAXDWORD || overlapped_) return false;
    DWORD count_written = 0;
    if (!WriteFile(file_, data, static_cast<DWORD>(count), &count_written, nullptr)) return false;
    written = count_written;
    return true;
  }

  HidReadStatus Read(uint8_t* buffer, size_t capacity, std::chrono::milliseconds slice,
                     size_t& transferred, uint32_t& error) override {
    transferred = 0;
    error = ERROR_SUCCESS;
    if (buffer == nullptr || capacity == 0 || capacity > MAXDWORD || slice.count() < 0 ||
        slice.count() > MAXDWORD) {
      error = ERROR_INVALID_PARAMETER;
      return HidReadStatus::kFailed;
    }
    if (!overlapped_) {
      error = ERROR_INVALID_FUNCTION;
      return HidReadStatus::kFailed;
    }
    RememberReaderThread();
    if (cancel_requested_.load()) return CancelPendingRead();
    if (!read_ && !StartRead(capacity, error)) return FailedOrGone(error);
    WaitForCompletion(static_cast<DWORD>(slice.count()));
    if (cancel_requested_.load()) return CancelPendingRead();
    if (!read_->Completed()) return HidReadStatus::kPending;
    DWORD completion_error = ERROR_SUCCESS;
    transferred = TakeCompletedRead(buffer, capacity, completion_error);
    // A pending read that the unplug ended completes with the "gone" code.
    if (completion_error != ERROR_SUCCESS && IsWindowsReadGoneError(completion_error)) {
      error = completion_error;
      return HidReadStatus::kGone;
    }
    return HidReadStatus::kCompleted;
  }

  void CancelRead() override {
    cancel_requested_.store(true);
    MutexLock lock(reader_mutex_);
    if (reader_thread_ != nullptr) QueueUserAPC(WakeReader, reader_thread_, 0);
  }

 private:
  // CancelRead wakes the reading thread with an APC, so it needs a real
  // handle on that thread, taken when the thread first reads.
  void RememberReaderThread() {
    MutexLock lock(reader_mutex_);
    const DWORD current = GetCurrentThreadId();
    if (reader_thread_ != nullptr && reader_thread_id_ == current) return;
    if (reader_thread_ != nullptr) CloseHandle(reader_thread_);
    reader_thread_ = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                        &reader_thread_, THREAD_SET_CONTEXT, FALSE, 0))
      reader_thread_id_ = current;
    else
      reader_thread_ = nullptr;  // cancellation then waits for the end of the slice
  }

  bool StartRead(size_t capacity, uint32_t& error) {
    auto read = std::make_unique<OverlappedRead>();
    read->buffer.assign(capacity, 0);
    if (!ReadFileEx(file_, read->buffer.data(), static_cast<DWORD>(capacity), &read->overlapped,
                    IgnoreReadCompletion)) {
      error = GetLastError();
      return false;
    }
    read_ = std::move(read);
    return true;
  }

  // Alertable sleeps until the read completes, a cancel arrives or the slice
  // is over; any APC (completion or wake-up) ends a sleep early.
  void WaitForCompletion(DWORD slice_ms) {
    const ULONGLONG deadline = GetTickCount64() + slice_ms;
    while (!read_->Completed() && !cancel_requested_.load()) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return;
      SleepEx(static_cast<DWORD>(deadline - now), TRUE);
    }
  }

  static HidReadStatus FailedOrGone(uint32_t error) {
    return IsWindowsReadGoneError(error) ? HidReadStatus::kGone : HidReadStatus::kFailed;
  }

  size_t TakeCompletedRead(uint8_t* buffer, size_t capacity, DWORD& completion_error) {
    DWORD count = 0;
    completion_error = ERROR_SUCCESS;
    // A read that completed with an error transferred nothing.
    if (!GetOverlappedResult(file_, &read_->overlapped, &count, FALSE)) {
      completion_error = GetLastError();
      count = 0;
    }
    const size_t copied = std::min({static_cast<size_t>(count), capacity, read_->buffer.size()});
    std::memcpy(buffer, read_->buffer.data(), copied);
    read_.reset();
    return copied;
  }

  HidReadStatus CancelPendingRead() {
    if (!read_) return HidReadStatus::kCancelled;
    // The Ex form: it also reaches a read that another thread started.
    CancelIoEx(file_, &read_->overlapped);
    const ULONGLONG deadline = GetTickCount64() + kCancelCompletionLimitMs;
    while (!read_->Completed()) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) break;
      SleepEx(static_cast<DWORD>(deadline - now), TRUE);
    }
    if (read_->Completed())
      read_.reset();
    else
      read_.release();  // the system still owns it: leaked, never reused
    return HidReadStatus::kCancelled;
  }

  const std::shared_ptr<const HidLibraries> libraries_;  // null for an adopted handle
  const HANDLE file_;
  const bool overlapped_;
  std::atomic<bool> cancel_requested_{false};
  std::unique_ptr<OverlappedRead> read_;  // the pending or completed read; reader thread only
  Mutex reader_mutex_;
  HANDLE reader_thread_ KV_GUARDED_BY(reader_mutex_) = nullptr;
  DWORD reader_thread_id_ KV_GUARDED_BY(reader_mutex_) = 0;
  Mutex preparsed_mutex_;
  PHIDP_PREPARSED_DATA preparsed_ KV_GUARDED_BY(preparsed_mutex_) = nullptr;
};

// A hidden top-level window on a thread of its own. Top-level windows get the
// system's DBT_DEVNODES_CHANGED broadcast without registering for anything; a
// message-only window would not. It also registers for the HID interface
// class's arrivals and removals, which are sent where that broadcast is not
// (wine sends only these), and passes each on as DBT_DEVNODES_CHANGED.
class DeviceChangeWindow {
 public:
  using Forward = std::function<void(WPARAM, LPARAM)>;

  DeviceChangeWindow(Forward forward, const GUID& hid_class)
      : forward_(std::move(forward)), hid_class_(hid_class) {}
  ~DeviceChangeWindow() { Stop(); }
  DeviceChangeWindow(const DeviceChangeWindow&) = delete;
  DeviceChangeWindow& operator=(const DeviceChangeWindow&) = delete;

  bool Start() {
    try {
      thread_ = std::thread([this] { RunWindowThread(); });
    } catch (const std::system_error&) {
      return false;
    }
    bool created = false;
    {
      MutexLock lock(start_mutex_);
      // The thread takes its window down again if it finds the start abandoned.
      const auto give_up = std::chrono::steady_clock::now() + kWindowStartLimit;
      while (!start_finished_ &&
             start_done_.wait_until(start_mutex_, give_up) == std::cv_status::no_timeout) {
      }
      if (!start_finished_) start_abandoned_ = true;
      created = start_finished_ && window_ != nullptr;
    }
    if (!created) thread_.join();
    return created;
  }

  // The window's thread destroys it and leaves its loop; a handler call in
  // progress finishes first.
  void Stop() {
    if (!thread_.joinable()) return;
    PostMessageA(window_, WM_CLOSE, 0, 0);
    thread_.join();
    window_ = nullptr;
  }

  HWND Window() const { return window_; }

 private:
  static bool RegisterWindowClass() {
    static const bool registered = [] {
      WNDCLASSEXA window_class{};
      window_class.cbSize = sizeof window_class;
      window_class.lpfnWndProc = WindowProcedure;
      window_class.hInstance = GetModuleHandleA(nullptr);
      window_class.lpszClassName = kWindowClassName;
      return RegisterClassExA(&window_class) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
  }

  void RunWindowThread() {
    HWND window = nullptr;
    if (RegisterWindowClass()) {
      window = CreateWindowExA(0, kWindowClassName, "", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                               GetModuleHandleA(nullptr), this);
    }
    {
      MutexLock lock(start_mutex_);
      if (start_abandoned_ && window != nullptr) {
        DestroyWindow(window);
        return;
      }
      window_ = window;
      start_finished_ = true;
    }
    start_done_.notify_one();
    if (window == nullptr) return;
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = hid_class_;
    // Without it the broadcast alone still tells, where the system sends it.
    HDEVNOTIFY interface_changes =
        RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    if (interface_changes != nullptr) UnregisterDeviceNotification(interface_changes);
  }

  static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
      const auto* creation = reinterpret_cast<const CREATESTRUCTA*>(lparam);
      SetWindowLongPtrA(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    auto* self = reinterpret_cast<DeviceChangeWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
      case WM_DEVICECHANGE:
        if (self == nullptr) return kDeviceChangeHandled;
        if (wparam == DBT_DEVICEARRIVAL || wparam == DBT_DEVICEREMOVECOMPLETE) {
          self->forward_(DBT_DEVNODES_CHANGED, 0);
        } else {
          self->forward_(wparam, lparam);
        }
        return kDeviceChangeHandled;
      case WM_QUERYENDSESSION:
        return kQueryEndSessionAllowed;
      case WM_CLOSE:
        DestroyWindow(window);
        return 0;
      case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
      default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
  }

  const Forward forward_;
  const GUID hid_class_;
  std::thread thread_;
  Mutex start_mutex_;
  std::condition_variable_any start_done_;
  bool start_finished_ KV_GUARDED_BY(start_mutex_) = false;
  bool start_abandoned_ KV_GUARDED_BY(start_mutex_) = false;
  HWND window_ = nullptr;  // written once by the window thread before start_finished_
};

class Win32HidPlatform : public HidPlatform {
 public:
  Win32HidPlatform() : libraries_(HidLibraries::Load()) {
    if (libraries_) libraries_->HidD_GetHidGuid(&hid_class_);
  }
  ~Win32HidPlatform() override { SetDeviceChangeHandler(nullptr); }

  bool Available() const override { return libraries_ != nullptr; }

  std::vector<HidInterfaceInfo> EnumerateInterfaces() override {
    std::vector<HidInterfaceInfo> interfaces;
    if (!libraries_) return interfaces;
    HDEVINFO set =
        libraries_->SetupDiGetClassDevsA(&hid_class_, nullptr, nullptr, kPresentInterfacesOfClass);
    if (set == INVALID_HANDLE_VALUE) return interfaces;
    for (DWORD index = 0;; ++index) {
      SP_DEVICE_INTERFACE_DATA interface_data{};
      interface_data.cbSize = sizeof interface_data;
      if (!libraries_->SetupDiEnumDeviceInterfaces(set, nullptr, &hid_class_, index,
                                                   &interface_data))
        break;
      if (auto info = DescribeInterface(set, interface_data)) interfaces.push_back(*info);
    }
    libraries_->SetupDiDestroyDeviceInfoList(set);
    return interfaces;
  }

  std::unique_ptr<HidHandle> Open(const std::string& path, HidAccess access, bool for_reading,
                                  uint32_t& error) override {
    error = ERROR_SUCCESS;
    if (!libraries_) {
      error = ERROR_MOD_NOT_FOUND;
      return nullptr;
    }
    if (path.empty()) {
      error = ERROR_INVALID_PARAMETER;
      return nullptr;
    }
    DWORD desired_access = 0;
    if (access == HidAccess::kReadWrite)
      desired_access = for_reading ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    const DWORD flags = for_reading ? FILE_FLAG_OVERLAPPED : 0;
    HANDLE file = CreateFileA(path.c_str(), desired_access, kSharedReadWrite, nullptr,
                              OPEN_EXISTING, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      error = GetLastError();
      return nullptr;
    }
    return std::make_unique<Win32HidHandle>(libraries_, file, for_reading);
  }

  void SetDeviceChangeHandler(DeviceChangeHandler handler) override {
    if (!handler) {
      std::unique_ptr<DeviceChangeWindow> window;
      {
        MutexLock lock(window_mutex_);
        window = std::move(window_);
      }
      window.reset();  // joins the window thread outside the handler lock
      MutexLock lock(handler_mutex_);
      handler_ = nullptr;
      return;
    }
    {
      MutexLock lock(handler_mutex_);
      handler_ = std::move(handler);
    }
    if (!libraries_) return;  // no libraries, no events
    MutexLock lock(window_mutex_);
    if (window_) return;
    auto window = std::make_unique<DeviceChangeWindow>(
        [this](WPARAM wparam, LPARAM lparam) { NotifyDeviceChange(wparam, lparam); }, hid_class_);
    if (window->Start()) window_ = std::move(window);
  }

  std::string ErrorText(uint32_t error) const override { return SystemErrorText(error); }
  bool IsGoneError(uint32_t error) const override { return IsWindowsGoneError(error); }

  HWND DeviceChangeWindowHandle() {
    MutexLock lock(window_mutex_);
    return window_ ? window_->Window() : nullptr;
  }

 private:
  std::optional<HidInterfaceInfo> DescribeInterface(HDEVINFO set,
                                                    SP_DEVICE_INTERFACE_DATA& interface_data) {
    DWORD required = 0;
    if (libraries_->SetupDiGetDeviceInterfaceDetailA(set, &interface_data, nullptr, 0, &required,
                                                     nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
        required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
      return std::nullopt;
    // new[] of bytes is aligned for any object that fits in it.
    auto storage = std::make_unique<char[]>(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.get());
    // The size of the fixed part, not of the buffer: the call checks it.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA device_info{};
    device_info.cbSize = sizeof device_info;
    if (!libraries_->SetupDiGetDeviceInterfaceDetailA(set, &interface_data, detail, required,
                                                      nullptr, &device_info))
      return std::nullopt;
    const size_t path_capacity = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    HidInterfaceInfo info;
    info.path.assign(detail->DevicePath, strnlen(detail->DevicePath, path_capacity));
    if (info.path.empty()) return std::nullopt;
    info.instance_id = InstanceIdOf(set, device_info).value_or(info.path);
    info.port = UsbPortOf(*libraries_, device_info.DevInst);
    return info;
  }

  std::optional<std::string> InstanceIdOf(HDEVINFO set, SP_DEVINFO_DATA& device_info) {
    DWORD required = 0;
    libraries_->SetupDiGetDeviceInstanceIdA(set, &device_info, nullptr, 0, &required);
    if (required == 0) return std::nullopt;
    std::string id(required, '\0');
    if (!libraries_->SetupDiGetDeviceInstanceIdA(set, &device_info, id.data(), required, nullptr))
      return std::nullopt;
    id.resize(strnlen(id.c_str(), id.size()));
    if (id.empty()) return std::nullopt;
    return id;
  }

  // On the window's thread. Holding the lock during the call is what lets
  // SetDeviceChangeHandler promise that no call of the old handler is running
  // once it returns.
  void NotifyDeviceChange(WPARAM wparam, LPARAM lparam) {
    MutexLock lock(handler_mutex_);
    if (handler_) handler_(static_cast<uint32_t>(wparam), static_cast<intptr_t>(lparam));
  }

  const std::shared_ptr<const HidLibraries> libraries_;
  GUID hid_class_{};
  Mutex handler_mutex_;
  DeviceChangeHandler handler_ KV_GUARDED_BY(handler_mutex_);
  Mutex window_mutex_;
  std::unique_ptr<DeviceChangeWindow> window_ KV_GUARDED_BY(window_mutex_);
};

}  // namespace

std::unique_ptr<HidPlatform> CreateSystemHidPlatform() {
  return std::make_unique<Win32HidPlatform>();
}

namespace win32 {

HWND DeviceChangeWindowOf(HidPlatform& platform) {
  auto* windows_platform = dynamic_cast<Win32HidPlatform*>(&platform);
  return windows_platform != nullptr ? windows_platform->DeviceChangeWindowHandle() : nullptr;
}

std::unique_ptr<HidHandle> AdoptFileHandle(HANDLE file, bool overlapped) {
  return std::make_unique<Win32HidHandle>(nullptr, file, overlapped);
}

}  // namespace win32
}  // namespace kv::hid
