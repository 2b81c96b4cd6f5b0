# Shared build helpers: warning sets and the one way to declare a unit test.

# Firmware code: every warning we rely on is an error, on the host and on the chip.
set(TAVRIX_FIRMWARE_WARNINGS -Wall -Wextra -Wshadow -Wdouble-promotion -Wcast-align
    -Wnon-virtual-dtor -Wundef -Werror)
# Host-only code (simulator, tools, tests): warnings on, not fatal.
set(TAVRIX_HOST_WARNINGS -Wall -Wextra -Wshadow)

# tavrix_firmware_library(NAME SOURCES ... [DEPS ...]): a static library of firmware code.
# Its name is recorded so the arm build can merge and check all firmware libraries.
function(tavrix_firmware_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${TAVRIX_FIRMWARE_WARNINGS})
  # No fused multiply-add contraction: the chip's VFMA rounds once where the host rounds twice,
  # and the float filters must give the same bits on both.
  target_compile_options(${name} PRIVATE -ffp-contract=off)
  target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
  if(ARG_DEPS)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  endif()
  set_property(GLOBAL APPEND PROPERTY TAVRIX_FIRMWARE_LIBS ${name})
endfunction()

# tavrix_test(NAME SOURCES ... [LIBS ...]): a GoogleTest binary registered with CTest.
function(tavrix_test name)
  if(CMAKE_CROSSCOMPILING)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${TAVRIX_HOST_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endfunction()
