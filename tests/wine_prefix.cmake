# Starts the Wine prefix that the Windows unit tests run in, or stops it.
# Usage: cmake -DPREFIX=<dir> -DACTION=start|stop -P wine_prefix.cmake
# Starting makes the folder, starts a wineserver that stays for 60 s after
# its last client (so each test program starts in a fraction of a second
# instead of a second) and runs wineboot, which fills a new prefix once
# (about ten seconds) and is quick afterwards.
find_program(WINESERVER wineserver)
find_program(WINEBOOT wineboot)
if(NOT WINESERVER OR NOT WINEBOOT)
  message(FATAL_ERROR "wineserver and wineboot are needed to run the Windows tests")
endif()
set(ENV{WINEPREFIX} "${PREFIX}")
set(ENV{WINEDEBUG} "-all")
# No Mono or Gecko installers: the tests are plain console programs.
set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")
if(ACTION STREQUAL "stop")
  execute_process(COMMAND ${WINESERVER} -k RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  return()
endif()
file(MAKE_DIRECTORY "${PREFIX}")
# The server and the processes wineboot leaves running outlive this script:
# given the caller's pipes they would keep ctest waiting, so they write to a
# log file instead.
set(LOG "${PREFIX}.log")
execute_process(COMMAND ${WINESERVER} -p 60 RESULT_VARIABLE rc
                INPUT_FILE /dev/null OUTPUT_FILE "${LOG}" ERROR_FILE "${LOG}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "wineserver failed: ${rc}")
endif()
execute_process(COMMAND ${WINEBOOT} RESULT_VARIABLE rc
                INPUT_FILE /dev/null OUTPUT_FILE "${LOG}" ERROR_FILE "${LOG}")
if(NOT rc EQUAL 0)
  file(READ "${LOG}" text)
  message(FATAL_ERROR "wineboot failed: ${rc}\n${text}")
endif()
