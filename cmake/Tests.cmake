# Every tests/test_*.py module is one CTest test, run with the build folder
# (the extension and the tesselvar package) first on sys.path.
set(_test_env
  "PYTHONPATH=${CMAKE_BINARY_DIR}/python"
  "PYTHONDONTWRITEBYTECODE=1"
  "VAR_MAIN_BUILD=${CMAKE_BINARY_DIR}/python")

# With VAR_MAIN_SANITIZE the module is instrumented but the interpreter is
# not: preload the compiler's sanitizer runtimes into it, let ASan see every
# object (PYTHONMALLOC=malloc), and turn any report into a failing exit.  The
# interpreter keeps memory at exit on purpose, so leak detection stays off;
# the leak tests skip themselves (VAR_MAIN_SANITIZED) since ASan hides
# pymalloc's block count and slows them tenfold.  Instrumented frames are
# several times larger while the interpreter still allows 10,000 nested C
# calls, so the deep-nesting tests get a larger stack (threads inherit it).
set(_launcher "")
if(VAR_MAIN_SANITIZE)
  set(_launcher /bin/sh -c "ulimit -s 65536 && exec \"$@\"" sh)
  set(_preload "")
  foreach(lib libasan.so libubsan.so)
    execute_process(
      COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${lib}
      OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
      message(FATAL_ERROR "var_main: ${CMAKE_CXX_COMPILER} has no ${lib}")
    endif()
    get_filename_component(_path "${_path}" REALPATH)
    list(APPEND _preload "${_path}")
  endforeach()
  string(REPLACE ";" ":" _preload "${_preload}")
  message(STATUS "var_main: tests preload ${_preload}")
  list(APPEND _test_env
    "LD_PRELOAD=${_preload}"
    "PYTHONMALLOC=malloc"
    "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:exitcode=99:halt_on_error=1"
    "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=98"
    "VAR_MAIN_SANITIZED=1")
endif()

file(GLOB _test_modules CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/test_*.py)
foreach(path IN LISTS _test_modules)
  get_filename_component(mod ${path} NAME_WE)
  add_test(NAME ${mod}
    COMMAND ${_launcher} ${Python_EXECUTABLE} -m unittest -v ${mod}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests)
  set_tests_properties(${mod} PROPERTIES
    ENVIRONMENT "${_test_env}"
    TIMEOUT 600)
  if(VAR_MAIN_SANITIZE)
    # A report that a test swallowed (a subprocess, say) still fails it.
    set_tests_properties(${mod} PROPERTIES
      FAIL_REGULAR_EXPRESSION "ERROR: AddressSanitizer|runtime error:")
  endif()
endforeach()
