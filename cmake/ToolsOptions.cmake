# Compiler and linker settings shared by every product and test target.

include(${CMAKE_CURRENT_LIST_DIR}/DelayImports.cmake)

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TOOLS_ARCH x64)
else()
  set(TOOLS_ARCH x86)
endif()

# Static runtime: the executables import system DLLs only.
set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")

add_library(tools_options INTERFACE)
configure_file(${PROJECT_SOURCE_DIR}/src/shared/tools_version.h.in ${PROJECT_BINARY_DIR}/generated/tools_version.h)
target_include_directories(tools_options INTERFACE ${PROJECT_BINARY_DIR}/generated)
target_compile_definitions(tools_options INTERFACE
  UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
  _WIN32_WINNT=0x0601 WINVER=0x0601 PSAPI_VERSION=1)

if(MSVC)
  # The classic C runtime calls (localtime, swscanf, ...) are used knowingly.
  target_compile_definitions(tools_options INTERFACE _CRT_SECURE_NO_WARNINGS)
  target_compile_options(tools_options INTERFACE /W4 /WX /utf-8 /permissive-)
  # The resource script embeds each tool's own manifest.
  target_link_options(tools_options INTERFACE /DYNAMICBASE /NXCOMPAT /MANIFEST:NO)
else()
  target_compile_options(tools_options INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wcast-qual -Werror)
  target_link_options(tools_options INTERFACE
    -static -static-libgcc -static-libstdc++
    -Wl,--dynamicbase -Wl,--nxcompat)
  if(TOOLS_ARCH STREQUAL x64)
    target_link_options(tools_options INTERFACE -Wl,--high-entropy-va)
  endif()
endif()

# Executables and libraries of a build sit side by side, so that tests find what they run.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# Programs whose entry point is wmain.
add_library(tools_wide_entry INTERFACE)
if(NOT MSVC)
  target_link_options(tools_wide_entry INTERFACE -municode)
endif()

# Every deliverable lands in dist/<arch>/ of the source tree.
set(TOOLS_DIST_DIR ${PROJECT_SOURCE_DIR}/dist/${TOOLS_ARCH})

function(tools_deliver target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TOOLS_DIST_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${target}> ${TOOLS_DIST_DIR}/
    VERBATIM)
endfunction()
