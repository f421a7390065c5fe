# Picks a CPython 3.13 interpreter for find_package(Python) when none was given.
# Order: Python_EXECUTABLE if set, python3.13 on PATH (only if it runs), then
# pyenv's install folders.
if(Python_EXECUTABLE)
  return()
endif()

function(_var_main_probe candidate out)
  execute_process(
    COMMAND "${candidate}" -c "import sys; print('%d.%d' % sys.version_info[:2])"
    RESULT_VARIABLE rc OUTPUT_VARIABLE ver ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc EQUAL 0 AND ver STREQUAL "3.13")
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

set(_candidates)
find_program(_on_path NAMES python3.13 NO_CACHE)
if(_on_path)
  list(APPEND _candidates "${_on_path}")
endif()
set(_roots)
if(DEFINED ENV{PYENV_ROOT})
  list(APPEND _roots "$ENV{PYENV_ROOT}")
endif()
if(DEFINED ENV{HOME})
  list(APPEND _roots "$ENV{HOME}/.pyenv")
endif()
list(APPEND _roots "/root/.pyenv" "/opt/pyenv")
foreach(root IN LISTS _roots)
  file(GLOB _found "${root}/versions/3.13*/bin/python3.13")
  list(SORT _found ORDER DESCENDING)
  list(APPEND _candidates ${_found})
endforeach()
list(APPEND _candidates /usr/local/bin/python3.13 /usr/bin/python3.13)

foreach(candidate IN LISTS _candidates)
  if(EXISTS "${candidate}")
    _var_main_probe("${candidate}" ok)
    if(ok)
      # Passing over a pyenv shim (it refuses to run while 3.13 is not the
      # selected version) is the usual case, not a problem: say what was
      # taken, and only name the skipped one when it is not a shim.
      if(_on_path AND NOT candidate STREQUAL _on_path AND NOT _on_path MATCHES "/shims/")
        message(STATUS "var_main: ${_on_path} is not a working CPython 3.13; "
                       "taking ${candidate}")
      endif()
      set(Python_EXECUTABLE "${candidate}" CACHE FILEPATH "CPython 3.13 interpreter")
      return()
    endif()
  endif()
endforeach()
message(FATAL_ERROR "var_main: no runnable CPython 3.13 found; pass -DPython_EXECUTABLE=/path/to/python3.13")
