# Windows x86_64 cross-build with the Qt that scripts/qt-mingw.sh builds into
# its cache (outside the clone). The host Qt's moc, rcc and uic serve as the
# host tools; the target Qt is found under the toolchain's find-root rules.
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw64.cmake)

if(NOT TARVEX_QT_MINGW_PREFIX)
  execute_process(
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/qt-mingw.sh --print-prefix
    OUTPUT_VARIABLE TARVEX_QT_MINGW_PREFIX OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "scripts/qt-mingw.sh --print-prefix failed")
  endif()
endif()
if(NOT EXISTS ${TARVEX_QT_MINGW_PREFIX}/lib/cmake/Qt6/Qt6Config.cmake)
  message(FATAL_ERROR "No Qt for MinGW in ${TARVEX_QT_MINGW_PREFIX}: run scripts/qt-mingw.sh first")
endif()
# try_compile projects read this file again: keep the answer.
set(TARVEX_QT_MINGW_PREFIX ${TARVEX_QT_MINGW_PREFIX} CACHE PATH "Qt for MinGW-w64 (scripts/qt-mingw.sh)")

list(PREPEND CMAKE_FIND_ROOT_PATH ${TARVEX_QT_MINGW_PREFIX})
list(PREPEND CMAKE_PREFIX_PATH ${TARVEX_QT_MINGW_PREFIX})
set(QT_HOST_PATH /usr CACHE PATH "")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
