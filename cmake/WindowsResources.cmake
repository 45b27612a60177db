# Windows resources of an executable: icon, application manifest and version
# information, compiled by the resource compiler (mingw-w64's windres). The
# numbers and the product name come from the project() call, the one place
# that holds them (--version reads the same).
#
#   kv_add_windows_resources(TARGET DESCRIPTION "..." [COMMON_CONTROLS])
#
# COMMON_CONTROLS: the window's manifest asks for Common Controls 6, so that
# its controls are drawn in the system's visual style.
if(NOT WIN32)
  return()
endif()
enable_language(RC)

set(KV_RESOURCES_DIR ${PROJECT_SOURCE_DIR}/app/win32/resources)

function(kv_add_windows_resources target)
  cmake_parse_arguments(R "COMMON_CONTROLS" "DESCRIPTION" "" ${ARGN})
  get_target_property(KV_RC_FILE_NAME ${target} OUTPUT_NAME)
  if(NOT KV_RC_FILE_NAME)
    set(KV_RC_FILE_NAME ${target})
  endif()
  set(KV_RC_DESCRIPTION "${R_DESCRIPTION}")
  set(KV_RC_ICON "${KV_RESOURCES_DIR}/kv93t.ico")
  set(KV_RC_MANIFEST_DEPENDENCY "")
  if(R_COMMON_CONTROLS)
    set(KV_RC_MANIFEST_DEPENDENCY [[
  <dependency>
    <dependentAssembly>
      <assemblyIdentity type="win32" name="Microsoft.Windows.Common-Controls" version="6.0.0.0"
                        processorArchitecture="*" publicKeyToken="6595b64144ccf1df" language="*"/>
    </dependentAssembly>
  </dependency>]])
  endif()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}-resources)
  set(KV_RC_MANIFEST "${dir}/${target}.manifest")
  configure_file(${KV_RESOURCES_DIR}/app.manifest.in ${KV_RC_MANIFEST} @ONLY)
  configure_file(${KV_RESOURCES_DIR}/version.rc.in ${dir}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${dir}/${target}.rc)
  # windres does not see the icon and manifest as dependencies by itself.
  set_source_files_properties(${dir}/${target}.rc PROPERTIES
                              OBJECT_DEPENDS "${KV_RC_ICON};${KV_RC_MANIFEST}")
endfunction()
