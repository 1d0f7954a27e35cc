# The viewer's tests where the viewer is not built (cmake -P, with MISSING saying why): skipped,
# saying why, or failed where the environment variable ORV_REQUIRE_VIEWER is set.
if("$ENV{ORV_REQUIRE_VIEWER}")
  message(FATAL_ERROR "The viewer's tests cannot run: orv-view is not built (${MISSING}), and "
                      "ORV_REQUIRE_VIEWER is set")
endif()
message("skipped: the viewer's tests cannot run: orv-view is not built (${MISSING})")
