# Runs kbflash.exe under Wine and checks its exit status and exact output
# bytes (read from a file: captured output would lose its carriage returns).
set(outfile ${CMAKE_CURRENT_BINARY_DIR}/kbflash_wine_output.txt)
execute_process(COMMAND ${WINE} ${EXE} OUTPUT_FILE ${outfile} RESULT_VARIABLE rc TIMEOUT 100)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "kbflash.exe exit status ${rc}")
endif()
file(READ ${outfile} hex HEX)
# "Wait...\r\nOK.\r\n"
if(NOT hex STREQUAL "576169742e2e2e0d0a4f4b2e0d0a")
  message(FATAL_ERROR "unexpected output bytes ${hex}")
endif()
