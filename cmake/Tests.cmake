# Every tests/test_*.py module is one CTest test, run with the build folder
# (the extension and tesselvar.py) first on sys.path.
file(GLOB _test_modules CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/test_*.py)
foreach(path IN LISTS _test_modules)
  get_filename_component(mod ${path} NAME_WE)
  add_test(NAME ${mod}
    COMMAND ${Python_EXECUTABLE} -m unittest -v ${mod}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests)
  set_tests_properties(${mod} PROPERTIES
    ENVIRONMENT "PYTHONPATH=${CMAKE_BINARY_DIR}/python;PYTHONDONTWRITEBYTECODE=1;VAR_MAIN_BUILD=${CMAKE_BINARY_DIR}/python"
    TIMEOUT 600)
endforeach()
