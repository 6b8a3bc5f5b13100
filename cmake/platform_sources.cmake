# Per-OS source files are picked by suffix: *_win32.cpp on Windows,
# *_linux.cpp and *_posix.cpp elsewhere; files without a suffix are portable.
# Removes from the list variable `var` the files of the other platforms.
function(keep_platform_sources var)
  set(kept)
  foreach(f IN LISTS ${var})
    if(WIN32 AND (f MATCHES "_linux\\.cpp$" OR f MATCHES "_posix\\.cpp$"))
      continue()
    elseif(NOT WIN32 AND f MATCHES "_win32\\.cpp$")
      continue()
    endif()
    list(APPEND kept ${f})
  endforeach()
  set(${var} ${kept} PARENT_SCOPE)
endfunction()
