# Windows version resources. Every binary that ships (Tarvex.exe,
# tarvexctl.exe, kbflash.exe, SERCHAN.dll) carries one, filled from the one
# template below with the project's version, so that the files of one build
# all say the same number: Explorer's Details tab shows it, and Windows
# Installer compares it with the file already on disk.
#
#   tarvex_version_resource(TARGET "File description")
#
# Does nothing on other platforms.
function(tarvex_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(TARVEX_FILE_TYPE VFT_DLL)
  else()
    set(TARVEX_FILE_TYPE VFT_APP)
  endif()
  set(TARVEX_TARGET ${target})
  set(TARVEX_FILE_DESCRIPTION "${description}")
  set(TARVEX_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  # The file's name comes from the target (SERCHAN.dll, kbflash.exe), once
  # the build knows it.
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc}.in @ONLY)
  file(GENERATE OUTPUT ${rc} INPUT ${rc}.in)
  set_source_files_properties(${rc} PROPERTIES GENERATED TRUE)
  target_sources(${target} PRIVATE ${rc})
endfunction()
