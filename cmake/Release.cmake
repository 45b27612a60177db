# Release executables ship without their symbol tables and debug sections (the
# window was 3.4 MB with them). Debug and sanitizer builds keep everything.
if(CMAKE_BUILD_TYPE STREQUAL "Release")
  add_link_options(-s)
endif()
