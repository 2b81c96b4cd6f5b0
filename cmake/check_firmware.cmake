# Run as: cmake -DARCHIVE=... -DNM=... -DSIZE=... -P check_firmware.cmake
#     or: cmake -DELF=... -DNM=... -DSIZE=... -DFLASH_BUDGET=... -DRAM_BUDGET=... -P check_firmware.cmake
# Archive: prints the size of the firmware archive and fails if any of its objects references the
# heap, exceptions or RTTI.
# Image: prints flash and RAM use against the budgets and fails above them, and fails if the
# linked image contains any heap, exception or RTTI symbol.

# malloc family, operator new/delete (_Znw*, _Zna*, _Zdl*, _Zda*), exception runtime, typeinfo.
set(forbidden "^(malloc|free|calloc|realloc|_malloc_r|_free_r|_Znw.*|_Zna.*|_Zdl.*|_Zda.*|__cxa_throw|__cxa_allocate_exception|__cxa_begin_catch|__gxx_personality_v0|_ZTI.*|_ZTS.*|__dynamic_cast|_sbrk|_sbrk_r)$")

function(check_symbols nm_args file)
  execute_process(COMMAND ${NM} ${nm_args} ${file} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${file}")
  endif()
  string(REPLACE "\n" ";" lines "${listing}")
  set(bad "")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" sym)
    # "U name" (undefined) or "address type name" (defined): keep the name.
    string(REGEX REPLACE "^([0-9a-fA-F]+[ \t]+)?[A-Za-z][ \t]+" "" sym "${sym}")
    if(sym MATCHES "${forbidden}")
      list(APPEND bad "${sym}")
    endif()
  endforeach()
  if(bad)
    list(REMOVE_DUPLICATES bad)
    message(FATAL_ERROR "firmware references forbidden symbols (heap, exceptions or RTTI): ${bad}")
  endif()
endfunction()

if(DEFINED ELF)
  # Section sizes by address: flash below the RAM, RAM in 0x1FFF0000..0x2002FFFF. Initialised
  # data counts twice: its image in flash and its copy in RAM.
  execute_process(COMMAND ${SIZE} -A ${ELF} OUTPUT_VARIABLE size_out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "size failed on ${ELF}")
  endif()
  string(REPLACE "\n" ";" lines "${size_out}")
  set(flash 0)
  set(ram 0)
  set(report "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^(\\.[A-Za-z0-9_.]+)[ \t]+([0-9]+)[ \t]+([0-9]+)")
      set(name "${CMAKE_MATCH_1}")
      set(bytes "${CMAKE_MATCH_2}")
      set(addr "${CMAKE_MATCH_3}")
      if(bytes EQUAL 0)
        continue()
      endif()
      if(addr GREATER_EQUAL 536805376 AND addr LESS 537067520)  # 0x1FFF0000 .. 0x20030000
        math(EXPR ram "${ram} + ${bytes}")
        if(name STREQUAL ".data")
          math(EXPR flash "${flash} + ${bytes}")
        endif()
        string(APPEND report "  ${name}: ${bytes} bytes RAM\n")
      elseif(addr LESS 1048576 AND NOT name MATCHES "^\\.(ARM\\.attributes|comment|debug.*)$")
        math(EXPR flash "${flash} + ${bytes}")
        string(APPEND report "  ${name}: ${bytes} bytes flash\n")
      endif()
    endif()
  endforeach()
  math(EXPR flash_pct "${flash} * 100 / ${FLASH_BUDGET}")
  math(EXPR ram_pct "${ram} * 100 / ${RAM_BUDGET}")
  message("image ${ELF}\n${report}"
          "flash ${flash} of ${FLASH_BUDGET} bytes (${flash_pct} %)\n"
          "RAM   ${ram} of ${RAM_BUDGET} bytes (${ram_pct} %), logger buffer and stack included")
  if(flash GREATER FLASH_BUDGET)
    message(FATAL_ERROR "flash use ${flash} exceeds the budget of ${FLASH_BUDGET} bytes")
  endif()
  if(ram GREATER RAM_BUDGET)
    message(FATAL_ERROR "RAM use ${ram} exceeds the budget of ${RAM_BUDGET} bytes")
  endif()
  check_symbols("" ${ELF})
  message("image check: no heap, exception or RTTI symbols")
  return()
endif()

execute_process(COMMAND ${SIZE} -t ${ARCHIVE} OUTPUT_VARIABLE size_out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "size failed on ${ARCHIVE}")
endif()
message("${size_out}")
check_symbols("-u" ${ARCHIVE})
message("firmware check: no heap, exception or RTTI references")
