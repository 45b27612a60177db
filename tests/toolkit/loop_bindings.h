// The event-loop bindings the toolkit suite runs against: the portable one
// everywhere, the Win32 one too on Windows.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "toolkit/event_loop.h"
#ifdef _WIN32
#include "toolkit/win32_event_loop.h"
#endif

namespace kv::toolkit::testing {

struct LoopBinding {
  std::string name;
  std::function<std::unique_ptr<EventLoop>()> create;
};

inline std::vector<LoopBinding> AllLoopBindings() {
  std::vector<LoopBinding> bindings{{"Portable", CreatePortableEventLoop}};
#ifdef _WIN32
  bindings.push_back({"Win32", CreateWin32EventLoop});
#endif
  return bindings;
}

inline std::string BindingName(const LoopBinding& binding) {
  return binding.name;
}

inline void PrintTo(const LoopBinding& binding, std::ostream* out) {
  *out << binding.name;
}

}  // namespace kv::toolkit::testing
