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

# The coverage configuration (tools/coverage.sh): the product code is instrumented and
# built without optimisation; the tests and test doubles are not instrumented.
option(TOOLS_COVERAGE "Instrument the product code for a coverage report" OFF)

# Static runtime: the executables import system DLLs only.
set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")

add_library(tools_options INTERFACE)
# Files the build configures for the resource scripts (the manifests).
target_include_directories(tools_options INTERFACE ${PROJECT_BINARY_DIR}/generated)
# PSAPI_VERSION=1: the process sweep calls EnumProcesses and its kin in psapi.dll, which
# every Windows has and which the service tool loads for the sweep alone, not the K32
# entries that kernel32 gained with Windows 7.
target_compile_definitions(tools_options INTERFACE
  UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
  _WIN32_WINNT=0x0601 WINVER=0x0601 PSAPI_VERSION=1)

if(MSVC)
  # The classic C runtime calls (localtime, swscanf, ...) are used knowingly.
  target_compile_definitions(tools_options INTERFACE _CRT_SECURE_NO_WARNINGS)
  target_compile_options(tools_options INTERFACE /W4 /WX /utf-8 /permissive-)
  # The resource script embeds each tool's own manifest.
  target_link_options(tools_options INTERFACE /DYNAMICBASE /NXCOMPAT /TSAWARE /MANIFEST:NO)
  # Release builds give the same bytes in any folder and at any time: no time stamps
  # (/Brepro), and the executable names its PDB (under symbols/, see tools_deliver)
  # without the folder. /DEBUG would turn off the removal of unreferenced and the folding
  # of identical code; /OPT keeps both.
  set(release "$<CONFIG:Release,MinSizeRel>")
  target_compile_options(tools_options INTERFACE
    "$<$<AND:${release},$<COMPILE_LANGUAGE:C,CXX>>:/Brepro;/Z7>")
  target_link_options(tools_options INTERFACE
    "$<${release}:/Brepro;/DEBUG;/OPT:REF;/OPT:ICF;/PDBALTPATH:%_PDB%>")
else()
  # -g: the symbol files that tools_deliver keeps aside carry the product's lines too.
  # The tree's folders are mapped out of debug information and __FILE__, so that two
  # clones in different folders build the same bytes; the build folder's map comes last
  # and so wins for the build folder inside the source tree.
  # Size: a release build optimises our code for size (measured: 10 to 13 KB less per
  # executable than -O3) and the linker drops unreferenced functions and data.
  target_compile_options(tools_options INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wcast-qual -Werror
    -g -ffunction-sections -fdata-sections $<$<CONFIG:Release>:-Os>)
  if(TOOLS_COVERAGE)
    # Every program that holds product code writes its counts when it ends.
    target_link_options(tools_options INTERFACE --coverage)
  else()
    # The coverage files must keep the tree's real folders; the release builds must not.
    target_compile_options(tools_options INTERFACE
      -ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)
  endif()
  target_link_options(tools_options INTERFACE
    -static -static-libgcc -static-libstdc++
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware -Wl,--no-insert-timestamp
    -Wl,--gc-sections)
  if(TOOLS_ARCH STREQUAL x64)
    target_link_options(tools_options INTERFACE -Wl,--high-entropy-va)
  endif()
endif()

if(NOT MSVC)
  find_program(TOOLS_PYTHON NAMES python3 REQUIRED)
endif()

# Product code: what the coverage configuration instruments.
function(tools_product target)
  if(TOOLS_COVERAGE)
    # The two flags that --coverage stands for, written out: the driver puts what --coverage
    # means after every other option, where a source's -fno-profile-arcs could not undo it.
    target_compile_options(${target} PRIVATE -fprofile-arcs -ftest-coverage -O0)
  endif()
endfunction()

# Executables and libraries of a build sit side by side, so that tests find what they run.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# Programs whose entry point is wmain.
add_library(tools_wide_entry INTERFACE)
if(NOT MSVC)
  target_link_options(tools_wide_entry INTERFACE -municode)
endif()

# Every deliverable lands in dist/<arch>/ of the source tree, stripped; its debug
# information stays in the build tree for crash analysis. The executable the linker writes
# is only the input of the steps below: each step declares what it writes and moves its
# file into place as its last command, so that a step that fails leaves its output out of
# date and the next build runs it again.
set(TOOLS_DIST_DIR ${PROJECT_SOURCE_DIR}/dist/${TOOLS_ARCH})
set(TOOLS_SYMBOLS_DIR ${PROJECT_BINARY_DIR}/symbols)

# tools_deliver(<target>) makes the target <target>_deliverable, built by default: the
# executable beside the tests in bin/ (what the tests run) and, outside the coverage
# configuration, its copy in dist/.
function(tools_deliver target)
  set(file ${target}.exe)
  set(tested ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${file})
  if(MSVC)
    # The linker writes bin/<config>/; the executable names its PDB under symbols/.
    set_target_properties(${target} PROPERTIES PDB_OUTPUT_DIRECTORY ${TOOLS_SYMBOLS_DIR})
    set(tested $<TARGET_FILE:${target}>)
    set(outputs)
  else()
    # symbols/<exe>.debug, and the executable in bin/ keeps only a link to it: its file
    # name and checksum. objcopy stamps the current time into a PE file it writes unless
    # SOURCE_DATE_EPOCH gives one.
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/linked)
    # linked/<target>.map: the linker's map, which names every archive member and object
    # file it took in; tools/release.sh makes the third-party notices from it. The map is
    # a file of its own: the executable's bytes do not depend on it.
    target_link_options(${target} PRIVATE LINKER:-Map=${PROJECT_BINARY_DIR}/linked/${target}.map)
    # The C++ runtime's last word on an uncaught exception, without its demangler
    # (src/shared/terminate_handler.cpp). It ends in abort, which writes no coverage
    # counts: its test runs it in tests/shared.
    set(handler ${PROJECT_SOURCE_DIR}/src/shared/terminate_handler.cpp)
    target_sources(${target} PRIVATE ${handler})
    if(TOOLS_COVERAGE)
      set_source_files_properties(${handler} PROPERTIES COMPILE_OPTIONS "-fno-profile-arcs;-fno-test-coverage")
    endif()
    set(symbols ${TOOLS_SYMBOLS_DIR}/${file}.debug)
    set(objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY})
    # The stripped executable is checked before it takes its place: a delay-bound call must
    # not write into a read-only page (tools/check-delay-imports.py).
    add_custom_command(OUTPUT ${tested} ${symbols}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${TOOLS_SYMBOLS_DIR}
      COMMAND ${objcopy} --only-keep-debug $<TARGET_FILE:${target}> ${symbols}
      COMMAND ${objcopy} --strip-all --add-gnu-debuglink=${symbols} $<TARGET_FILE:${target}> ${tested}.part
      COMMAND ${TOOLS_PYTHON} ${PROJECT_SOURCE_DIR}/tools/check-delay-imports.py ${tested}.part
              ${PROJECT_BINARY_DIR}/linked/${target}.map
      COMMAND ${CMAKE_COMMAND} -E rename ${tested}.part ${tested}
      DEPENDS ${target} ${PROJECT_SOURCE_DIR}/tools/check-delay-imports.py
      COMMENT "Splitting the debug information off ${file}"
      VERBATIM)
    set(outputs ${tested} ${symbols})
  endif()
  # An instrumented build never takes the place of the deliverables.
  if(NOT TOOLS_COVERAGE)
    set(delivered ${TOOLS_DIST_DIR}/${file})
    add_custom_command(OUTPUT ${delivered}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${TOOLS_DIST_DIR}
      COMMAND ${CMAKE_COMMAND} -E copy ${tested} ${delivered}.part
      COMMAND ${CMAKE_COMMAND} -E rename ${delivered}.part ${delivered}
      DEPENDS ${target} ${outputs}
      COMMENT "Delivering ${file} to dist/${TOOLS_ARCH}"
      VERBATIM)
    list(APPEND outputs ${delivered})
  endif()
  add_custom_target(${target}_deliverable ALL DEPENDS ${outputs})
endfunction()
