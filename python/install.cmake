# Installs the Python package orv, run by cmake --install with ORV_PYTHON (the interpreter),
# ORV_PYTHON_SITE_SCRIPT, ORV_PYTHON_INSTALL_DIR and ORV_PYTHON_FILES (the module first) set: into
# ORV_PYTHON_INSTALL_DIR where it is set (relative to the prefix, or absolute), else into the folder
# that site_packages.py names for the prefix.
if(ORV_PYTHON_INSTALL_DIR)
  set(dir "${ORV_PYTHON_INSTALL_DIR}")
  if(NOT IS_ABSOLUTE "${dir}")
    set(dir "${CMAKE_INSTALL_PREFIX}/${dir}")
  endif()
else()
  execute_process(COMMAND "${ORV_PYTHON}" "${ORV_PYTHON_SITE_SCRIPT}" "${CMAKE_INSTALL_PREFIX}"
    OUTPUT_VARIABLE dir ERROR_VARIABLE error RESULT_VARIABLE status
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0 OR dir STREQUAL "")
    message(FATAL_ERROR "${ORV_PYTHON} named no folder for its packages below "
                        "${CMAKE_INSTALL_PREFIX}: ${error}")
  endif()
endif()
list(POP_FRONT ORV_PYTHON_FILES module)
file(INSTALL DESTINATION "${dir}/orv" TYPE MODULE FILES "${module}")
file(INSTALL DESTINATION "${dir}/orv" TYPE FILE FILES ${ORV_PYTHON_FILES})
