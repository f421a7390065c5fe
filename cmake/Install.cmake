# Install rules: the extension modules, the tesselvar package and the type stubs, side
# by side in one site-packages folder.
#
#   pip install . (scikit-build-core)     -> the root of the wheel
#   cmake --install <build> --prefix P    -> P/lib/python3.13/site-packages
#   cmake --install <build>               -> the interpreter's own site-packages
#
# Only pip records what it installs (and so can list and uninstall it);
# cmake --install is for packagers, who stage with --prefix and DESTDIR.
#
# Expects find_package(Python) to have run (Python_EXECUTABLE, Python_SITEARCH).

if(SKBUILD)
  # scikit-build-core points CMAKE_INSTALL_PREFIX at the wheel's platlib root,
  # which becomes site-packages when the wheel is installed.
  set(VAR_MAIN_INSTALL_DIR ".")
else()
  # Ask the interpreter where a prefix keeps its site-packages ("posix_prefix"
  # is the scheme that `pip install --prefix` uses, so platlibdir is honoured)
  # and what its own prefix is.
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c [=[
import os, sys, sysconfig
base = os.path.join(os.sep, "PREFIX")
lib = sysconfig.get_path("platlib", "posix_prefix", vars={"base": base, "platbase": base})
print(os.path.relpath(lib, base).replace(os.sep, "/"))
print(sys.prefix)
]=]
    RESULT_VARIABLE _vm_rc OUTPUT_VARIABLE _vm_out ERROR_VARIABLE _vm_err
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _vm_rc EQUAL 0)
    message(FATAL_ERROR "var_main: cannot ask ${Python_EXECUTABLE} for its "
                        "site-packages layout:\n${_vm_err}")
  endif()
  string(REPLACE "\n" ";" _vm_out "${_vm_out}")
  list(GET _vm_out 0 _vm_sitedir)
  list(GET _vm_out 1 _vm_sys_prefix)

  set(VAR_MAIN_INSTALL_DIR "${_vm_sitedir}" CACHE STRING
      "Folder, relative to the install prefix, that receives the module")

  # With no prefix chosen, install into the interpreter that we build for,
  # not into /usr/local.
  if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX "${_vm_sys_prefix}" CACHE PATH
        "Install prefix (default: the interpreter's sys.prefix)" FORCE)
  endif()

  # Say where a plain `cmake --install` lands, and warn when that folder is
  # not on the interpreter's own path (a distribution's python whose
  # site-packages lives elsewhere, or a prefix chosen by hand).
  cmake_path(ABSOLUTE_PATH VAR_MAIN_INSTALL_DIR BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}"
             NORMALIZE OUTPUT_VARIABLE _vm_target)
  cmake_path(NORMAL_PATH Python_SITEARCH OUTPUT_VARIABLE _vm_sitearch)
  cmake_path(NORMAL_PATH Python_SITELIB OUTPUT_VARIABLE _vm_sitelib)
  if(_vm_target STREQUAL _vm_sitearch OR _vm_target STREQUAL _vm_sitelib)
    message(STATUS "var_main: cmake --install goes to ${_vm_target} "
                   "(site-packages of ${Python_EXECUTABLE})")
  else()
    message(STATUS "var_main: cmake --install goes to ${_vm_target}, which is "
                   "not ${Python_EXECUTABLE}'s site-packages (${_vm_sitearch}); "
                   "put it on PYTHONPATH to import from there")
  endif()
endif()

# Everything below goes to VAR_MAIN_INSTALL_DIR or a folder under it; a
# compiled module inside the package follows the same pattern, e.g.
#   install(TARGETS <target> LIBRARY DESTINATION "${VAR_MAIN_INSTALL_DIR}/tesselvar")
install(TARGETS var_main LIBRARY DESTINATION "${VAR_MAIN_INSTALL_DIR}")
install(TARGETS tesselvar_core LIBRARY DESTINATION "${VAR_MAIN_INSTALL_DIR}/tesselvar")
install(DIRECTORY python/tesselvar DESTINATION "${VAR_MAIN_INSTALL_DIR}"
        FILES_MATCHING PATTERN "*.py" PATTERN "*.pyi" PATTERN "py.typed")

# The stubs of the extension, twice from one file.  Beside the module, the
# usual place, read by pyright and editors.  And as the stub-only package
# var_main-stubs: py.typed marks packages only, so for a top-level module
# that is the one place mypy reads installed stubs from.
install(FILES python/var_main.pyi DESTINATION "${VAR_MAIN_INSTALL_DIR}")
install(FILES python/var_main.pyi DESTINATION "${VAR_MAIN_INSTALL_DIR}/var_main-stubs"
        RENAME __init__.pyi)
