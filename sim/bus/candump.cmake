# The candump log format, part of the bus library. Included by this folder's CMakeLists.txt after
# it has created tavrix_sim_bus.
target_sources(tavrix_sim_bus PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/candump.cpp)

tavrix_test(tavrix_candump_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/candump_test.cpp
            LIBS tavrix_sim_bus)

# A Python interpreter with python-can, if the machine has one, lets the test check that a
# third-party reader and writer agree with ours; without one that test skips.
function(tavrix_python_can_validator result candidate)
  execute_process(COMMAND ${candidate} -c "import can" RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(NOT rc EQUAL 0)
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()
if(NOT CMAKE_CROSSCOMPILING)
  find_program(TAVRIX_PYTHON_CAN NAMES python3 VALIDATOR tavrix_python_can_validator)
  if(TAVRIX_PYTHON_CAN)
    target_compile_definitions(tavrix_candump_test PRIVATE
                               TAVRIX_PYTHON_CAN="${TAVRIX_PYTHON_CAN}")
  endif()
endif()
