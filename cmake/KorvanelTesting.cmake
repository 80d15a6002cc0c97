# Helpers that register the project's tests with CTest.
#
# korvanel_unit_test(NAME SOURCES a.cc b.cc LIBS x y [LABELS l])
#   A GoogleTest binary that runs directly on the build machine. Only for tests
#   that neither mount, partition, format, load modules, touch network
#   interfaces nor can reach reboot(2).
#
# korvanel_sandbox_test(NAME SOURCES ... LIBS ... [NET] [LABELS l])
#   A GoogleTest binary that runs whole inside the test sandbox (private mount
#   and PID namespaces, tmpfs on /mnt and /floppy, the machine's /dev for loop
#   devices; NET adds a network namespace of its own).
#
# korvanel_installer_test(NAME SOURCES ... LIBS ... [LABELS l])
#   A GoogleTest binary that runs on the machine and starts programs (the
#   installer) inside sandboxes of their own through tests/support/sandbox.h.
#
# Every test binary sees KORVANEL_SOURCE_DIR and KORVANEL_BINARY_DIR as
# compile definitions, and the sandbox launcher as KORVANEL_SANDBOX.

if(NOT KORVANEL_BUILD_TESTS)
  function(korvanel_unit_test)
  endfunction()
  function(korvanel_sandbox_test)
  endfunction()
  function(korvanel_installer_test)
  endfunction()
  return()
endif()

enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

set(KORVANEL_SANDBOX ${PROJECT_SOURCE_DIR}/tests/sandbox/sandbox)
# The static i386 build whose binaries tests run too (`make check` builds it
# before it runs the tests).
set(KORVANEL_I386_DIR ${PROJECT_SOURCE_DIR}/build/i386 CACHE PATH "The i386 build directory")

function(korvanel__test_executable name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    KORVANEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    KORVANEL_BINARY_DIR="${PROJECT_BINARY_DIR}"
    KORVANEL_SANDBOX="${KORVANEL_SANDBOX}"
    KORVANEL_I386_DIR="${KORVANEL_I386_DIR}")
endfunction()

function(korvanel_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  korvanel__test_executable(${name} SOURCES ${T_SOURCES} LIBS ${T_LIBS})
  gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_TIMEOUT 30
                       PROPERTIES LABELS "unit;${T_LABELS}")
endfunction()

function(korvanel_sandbox_test name)
  cmake_parse_arguments(T "NET" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  korvanel__test_executable(${name} SOURCES ${T_SOURCES} LIBS ${T_LIBS})
  set(net_option "")
  if(T_NET)
    set(net_option "--net")
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  add_test(NAME ${name}
           COMMAND ${KORVANEL_SANDBOX} --host-dev ${net_option} -- $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES LABELS "sandbox;${T_LABELS}" TIMEOUT ${T_TIMEOUT})
endfunction()

function(korvanel_installer_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  korvanel__test_executable(${name} SOURCES ${T_SOURCES} LIBS ${T_LIBS} test_support)
  add_dependencies(${name} installer)
  gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_TIMEOUT 30
                       PROPERTIES LABELS "sandbox;${T_LABELS}" TIMEOUT 300)
endfunction()
