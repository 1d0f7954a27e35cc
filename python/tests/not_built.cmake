# The Python tests where they cannot run (cmake -P, with MISSING saying what is missing): skipped,
# saying why, or failed where the environment variable ORV_REQUIRE_PYTHON is set.
if("$ENV{ORV_REQUIRE_PYTHON}")
  message(FATAL_ERROR "The Python tests cannot run: ${MISSING} cannot be found, and "
                      "ORV_REQUIRE_PYTHON is set")
endif()
message("skipped: the Python tests cannot run: ${MISSING} cannot be found")
