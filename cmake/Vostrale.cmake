# Shared build rules for every module.

set(VOSTRALE_ROOT "${CMAKE_CURRENT_LIST_DIR}/..")
cmake_path(NORMAL_PATH VOSTRALE_ROOT)
string(REGEX REPLACE "/$" "" VOSTRALE_ROOT "${VOSTRALE_ROOT}")
set(VOSTRALE_SHARED_DIR "${VOSTRALE_ROOT}/../shared")
cmake_path(NORMAL_PATH VOSTRALE_SHARED_DIR)
string(REGEX REPLACE "/$" "" VOSTRALE_SHARED_DIR "${VOSTRALE_SHARED_DIR}")

set(VOSTRALE_WARNINGS -Wall -Wextra -Wno-unused-parameter)
set(VOSTRALE_KERNEL_SAFE_FLAGS -fno-exceptions -fno-rtti)

# Every kernel-safe module (common, codecs, driver/core) is built as a normal static library
# for user mode and, in the Windows build, a second time in the driver's freestanding
# configuration: no C or C++ runtime headers, so a use of the standard library fails there.
function(vostrale_kernel_safe_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${VOSTRALE_ROOT})
  target_compile_options(${name} PRIVATE ${VOSTRALE_WARNINGS} ${VOSTRALE_KERNEL_SAFE_FLAGS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
  if(VOSTRALE_WINDOWS)
    add_library(${name}_kernel STATIC ${ARG_SOURCES})
    target_include_directories(${name}_kernel PUBLIC ${VOSTRALE_ROOT})
    target_compile_options(${name}_kernel PRIVATE ${VOSTRALE_WARNINGS} ${VOSTRALE_KERNEL_FLAGS})
    target_compile_definitions(${name}_kernel PUBLIC VOSTRALE_KERNEL=1)
    foreach(dep IN LISTS ARG_DEPENDS)
      if(TARGET ${dep}_kernel)
        target_link_libraries(${name}_kernel PUBLIC ${dep}_kernel)
      endif()
    endforeach()
  endif()
endfunction()

# A user-mode library (formats, platform, app logic, ...).
function(vostrale_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${VOSTRALE_ROOT})
  target_compile_options(${name} PRIVATE ${VOSTRALE_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
endfunction()

# One GoogleTest binary per module. It runs natively and, in the Windows build, under Wine
# through CMAKE_CROSSCOMPILING_EMULATOR. Tests find the shared samples through
# VOSTRALE_SHARED_DIR and may skip what needs host tools when those are missing.
#
# GUI: in the Windows build the test runs on a virtual display of its own (scripts/wine-gui-run)
# so it can create real windows. OWN_PREFIX: it runs in a Wine prefix of its own
# (build/<preset>/wineprefix-<name>), for tests that change the registry or the file
# associations.
function(vostrale_test name)
  cmake_parse_arguments(ARG "GUI;OWN_PREFIX" "TIMEOUT" "SOURCES;DEPENDS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${VOSTRALE_ROOT})
  target_compile_options(${name} PRIVATE ${VOSTRALE_WARNINGS})
  target_compile_definitions(${name} PRIVATE
    VOSTRALE_SHARED_DIR="${VOSTRALE_SHARED_DIR}"
    VOSTRALE_SOURCE_DIR="${VOSTRALE_ROOT}")
  target_link_libraries(${name} PRIVATE ${ARG_DEPENDS} GTest::gtest_main)
  if(VOSTRALE_WINDOWS)
    target_link_options(${name} PRIVATE -static)
  endif()
  if(VOSTRALE_WINDOWS AND ARG_GUI)
    add_test(NAME ${name}
      COMMAND ${VOSTRALE_ROOT}/scripts/wine-gui-run $<TARGET_FILE:${name}> --gtest_color=no)
  else()
    add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 900)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(VOSTRALE_WINDOWS AND ARG_OWN_PREFIX)
    set_tests_properties(${name} PROPERTIES
      ENVIRONMENT "VOSTRALE_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-${name}")
  endif()
endfunction()

# A libFuzzer target. SEEDS names an optional source of a small program that writes seed
# inputs into the folder given as its first argument (images come from the test-side writers,
# so nothing binary is committed). The test command runs each target over its seeds and then
# fuzzes it for a few seconds.
function(vostrale_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS;SEEDS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${VOSTRALE_ROOT})
  target_link_libraries(${name} PRIVATE ${ARG_DEPENDS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set(entry "${name}")
  if(ARG_SEEDS)
    add_executable(${name}_seeds ${ARG_SEEDS})
    target_include_directories(${name}_seeds PRIVATE ${VOSTRALE_ROOT})
    target_link_libraries(${name}_seeds PRIVATE ${ARG_DEPENDS})
    set(entry "${name} ${name}_seeds")
  endif()
  set_property(GLOBAL APPEND PROPERTY VOSTRALE_FUZZERS "${entry}")
endfunction()

function(vostrale_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${VOSTRALE_ROOT})
  target_compile_definitions(${name} PRIVATE VOSTRALE_SHARED_DIR="${VOSTRALE_SHARED_DIR}")
  target_link_libraries(${name} PRIVATE ${ARG_DEPENDS})
endfunction()

# Adds every sub-folder of the current folder that has a CMakeLists.txt (tests/, fuzz/, bench/),
# so a module's tests arrive without touching a shared list.
function(vostrale_add_module_dirs)
  file(GLOB dirs LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT dirs)
  foreach(dir IN LISTS dirs)
    if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
