# Every target of the project links kv_warnings: the same warning set everywhere,
# errors when KV_WERROR is on (CI turns it on).
option(KV_WERROR "Treat compiler warnings as errors" OFF)
add_library(kv_warnings INTERFACE)
target_compile_options(kv_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(KV_WERROR)
  target_compile_options(kv_warnings INTERFACE -Werror)
endif()
