# Libraries that only some runs need are bound at their first call instead of when the
# program starts: a run then loads only what its switch uses, and the tools restrict the
# library search to the system folder before anything is loaded that way.
#
# tools_delay_import(<name>) makes the interface target delay_<name> for <name>.dll.
# mingw-w64: a delay-import library made by dlltool from cmake/delay/<name>.def, which
# lists the calls the tools make, and the project's own delay-load helper
# (src/shared/delay_load.cpp), which binds each call from the system folder and writes the
# delay import address table also where the linker made it read-only; tools_deliver checks
# each executable for it (tools/check-delay-imports.py). MSVC: the SDK's import library
# and /DELAYLOAD, with Microsoft's helper.
if(NOT MSVC AND NOT TARGET tools_delay_helper)
  add_library(tools_delay_helper INTERFACE)
  target_sources(tools_delay_helper INTERFACE ${PROJECT_SOURCE_DIR}/src/shared/delay_load.cpp)
  target_link_libraries(tools_delay_helper INTERFACE tools_shared)
endif()

function(tools_delay_import name)
  set(target delay_${name})
  add_library(${target} INTERFACE)
  if(MSVC)
    target_link_libraries(${target} INTERFACE ${name} delayimp)
    target_link_options(${target} INTERFACE /DELAYLOAD:${name}.dll)
    return()
  endif()

  # The list is read here, when the build is configured: a change to it configures again.
  set(source ${PROJECT_SOURCE_DIR}/cmake/delay/${name}.def)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} exports)
  if(TOOLS_ARCH STREQUAL x64)
    string(REGEX REPLACE "@[0-9]+" "" exports "${exports}")
  endif()
  set(def ${PROJECT_BINARY_DIR}/delay/${name}.def)
  set(library ${PROJECT_BINARY_DIR}/delay/lib${name}_delay.a)
  file(CONFIGURE OUTPUT ${def} CONTENT "${exports}")
  # --kill-at: the import names are the undecorated names the system library exports.
  # Run in its folder: dlltool names the library's members after the path it is given.
  add_custom_command(OUTPUT ${library}
    COMMAND ${CMAKE_DLLTOOL} --input-def ${name}.def --output-delaylib lib${name}_delay.a --kill-at
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/delay
    DEPENDS ${def} VERBATIM)
  add_custom_target(${target}_library DEPENDS ${library})
  add_dependencies(${target} ${target}_library)
  target_link_libraries(${target} INTERFACE tools_delay_helper ${library})
  if(TOOLS_COVERAGE)
    # The helper's coverage is that of its in-process test (tests/shared): the failures it
    # reports cannot be made in a run of the tools, and gcov counts the exception edges of
    # calls that never ran as branches not taken.
    set_source_files_properties(${PROJECT_SOURCE_DIR}/src/shared/delay_load.cpp
      PROPERTIES COMPILE_OPTIONS "-fno-profile-arcs;-fno-test-coverage")
  endif()
endfunction()
