# One check of orv as a dependency, run by CTest as a script (cmake -P). MODE picks it:
#   package     install orv into WORK_DIR/prefix, then build and run this folder's project,
#               which finds it with find_package(orv CONFIG)
#   pkg-config  install orv into WORK_DIR/prefix, then compile main.cpp with the flags that
#               pkg-config reads from orv-device.pc (orv-vulkan.pc where the Vulkan device was
#               built), and run it
#   subproject  build and run this folder's project with orv's source tree added to it
#   subproject-no-exceptions
#               as subproject, with -fno-exceptions -fno-rtti added to the project's flags
#   subproject-flags
#               configure that project under CI=true and check the compile commands orv generates:
#               warnings are errors only where the project asks for it, and orv's C++ flags stay
#               off the project's C sources
# The builds use the compiler, flags, build type and generator of the orv build that runs the check:
# SOURCE_DIR, BUILD_DIR, WORK_DIR, GENERATOR, CXX, CXX_FLAGS, LINKER_FLAGS, BUILD_TYPE, PKG_CONFIG,
# and WITH_VULKAN and WITH_IO, whether that build made the Vulkan device and the io library.

function(run)
  execute_process(COMMAND ${ARGN}
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    string(JOIN " " command ${ARGN})
    message(FATAL_ERROR "failed (${status}): ${command}\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(cxx_flags "${CXX_FLAGS}")
if(MODE STREQUAL "subproject-no-exceptions")
  string(APPEND cxx_flags " -fno-exceptions -fno-rtti")  # as many engines build everything
endif()
set(build_settings -G "${GENERATOR}" "-DCMAKE_CXX_COMPILER=${CXX}" "-DCMAKE_CXX_FLAGS=${cxx_flags}"
    "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}" "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}"
    "-DORV_EXPECT_VULKAN=${WITH_VULKAN}" "-DORV_EXPECT_IO=${WITH_IO}")
# What an install holds: the headers and static libraries of the core and the device layer, and
# those of the Vulkan device and the io library only where they were built.
set(expected_headers "device.hpp;error.hpp;kernel.hpp;renderer.hpp;rhi.hpp")
set(expected_archives 4)
set(expected_pcs "orv-device.pc;orv.pc")
set(pc_packages orv-device)
set(pc_defines)
if(WITH_IO)
  list(APPEND expected_headers io.hpp)
  math(EXPR expected_archives "${expected_archives} + 1")
  list(APPEND expected_pcs orv-io.pc)
  list(APPEND pc_packages orv-io)
  list(APPEND pc_defines -DORV_CONSUMER_IO)
endif()
if(WITH_VULKAN)
  list(APPEND expected_headers vulkan.hpp)
  math(EXPR expected_archives "${expected_archives} + 1")
  list(APPEND expected_pcs orv-vulkan.pc)
  list(APPEND pc_packages orv-vulkan)
  list(APPEND pc_defines -DORV_CONSUMER_VULKAN)
endif()
list(SORT expected_headers)

# The compile command of the first source whose path ends in `source`, in `command`.
function(compile_command source)
  file(READ "${WORK_DIR}/build/compile_commands.json" json)
  string(JSON count LENGTH "${json}")
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON file GET "${json}" ${i} file)
    if(file MATCHES "${source}$")
      string(JSON command GET "${json}" ${i} command)
      set(command "${command} " PARENT_SCOPE)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "no compile command for ${source}")
endfunction()

if(MODE STREQUAL "subproject-flags")
  # Hosted CI services set CI=true for every build, including the builds of projects that include
  # orv: only an explicit ON may turn orv's warnings into errors there.
  set(ENV{CI} true)
  foreach(setting IN ITEMS default OFF ON)
    set(option)
    if(NOT setting STREQUAL "default")
      set(option "-DORV_WARNINGS_AS_ERRORS=${setting}")
    endif()
    run(${CMAKE_COMMAND} -S "${CMAKE_CURRENT_LIST_DIR}" -B "${WORK_DIR}/build" ${build_settings}
        "-DORV_SOURCE_DIR=${SOURCE_DIR}" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DORV_CONSUMER_C=ON
        ${option})
    compile_command("src/kernel.cpp")
    if(NOT command MATCHES " -Wall ")
      message(FATAL_ERROR "orv's warning flags are missing from: ${command}")
    endif()
    if(command MATCHES " -Werror " AND NOT setting STREQUAL "ON" OR
       NOT command MATCHES " -Werror " AND setting STREQUAL "ON")
      message(FATAL_ERROR "with CI=true and ORV_WARNINGS_AS_ERRORS ${setting}, orv compiles "
                          "with: ${command}")
    endif()
  endforeach()
  compile_command("consumer/main.cpp")
  set(cxx_command "${command}")
  compile_command("consumer/plain.c")
  if(NOT cxx_command MATCHES " -ffp-contract=off " OR command MATCHES " -ffp-contract=off ")
    message(FATAL_ERROR "-ffp-contract=off must reach the consumer's C++ sources only:\n"
                        "${cxx_command}\n${command}")
  endif()
  return()
endif()

if(MODE MATCHES "^subproject")
  run(${CMAKE_COMMAND} -S "${CMAKE_CURRENT_LIST_DIR}" -B "${WORK_DIR}/build" ${build_settings}
      "-DORV_SOURCE_DIR=${SOURCE_DIR}")
else()
  run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${WORK_DIR}/prefix")
  file(GLOB_RECURSE config "${WORK_DIR}/prefix/*/orv-config.cmake")
  file(GLOB_RECURSE version "${WORK_DIR}/prefix/*/orv-config-version.cmake")
  file(GLOB_RECURSE targets "${WORK_DIR}/prefix/*/orv-targets.cmake")
  file(GLOB_RECURSE pc "${WORK_DIR}/prefix/*/orv.pc")
  file(GLOB_RECURSE pcs LIST_DIRECTORIES false RELATIVE "${WORK_DIR}/prefix"
       "${WORK_DIR}/prefix/*.pc")
  list(TRANSFORM pcs REPLACE ".*/" "")
  file(GLOB headers RELATIVE "${WORK_DIR}/prefix/include/orv"
       "${WORK_DIR}/prefix/include/orv/*.hpp")
  file(GLOB_RECURSE archives "${WORK_DIR}/prefix/*liborv_*.a")
  list(LENGTH archives archive_count)
  list(SORT headers)
  list(SORT pcs)
  list(SORT expected_pcs)
  if(NOT config OR NOT version OR NOT targets OR NOT pcs STREQUAL expected_pcs
     OR NOT archive_count EQUAL expected_archives OR NOT headers STREQUAL expected_headers)
    message(FATAL_ERROR "the install is incomplete: config '${config}', version '${version}', "
                        "targets '${targets}', pkg-config '${pcs}', headers '${headers}', "
                        "libraries '${archives}'")
  endif()

  if(MODE STREQUAL "pkg-config")
    get_filename_component(pc_dir "${pc}" DIRECTORY)
    set(ENV{PKG_CONFIG_PATH} "${pc_dir}")
    # Each package brings orv-device and the core along.
    run("${PKG_CONFIG}" --cflags ${pc_packages})
    string(STRIP "${output}" cflags)
    run("${PKG_CONFIG}" --libs ${pc_packages})
    string(STRIP "${output}" libs)
    if(NOT " ${cflags} " MATCHES " -ffp-contract=off ")
      message(FATAL_ERROR "orv.pc gives the compile flags '${cflags}' without -ffp-contract=off")
    endif()
    separate_arguments(cflags UNIX_COMMAND "${cflags}")
    separate_arguments(libs UNIX_COMMAND "${libs}")
    separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")
    separate_arguments(linker_flags UNIX_COMMAND "${LINKER_FLAGS}")
    run("${CXX}" -std=c++23 ${cxx_flags} ${cflags} ${pc_defines} "${CMAKE_CURRENT_LIST_DIR}/main.cpp" ${libs}
        ${linker_flags} -o "${WORK_DIR}/consumer")
    run("${WORK_DIR}/consumer")
    message(STATUS "${output}")
    return()
  endif()

  run(${CMAKE_COMMAND} -S "${CMAKE_CURRENT_LIST_DIR}" -B "${WORK_DIR}/build" ${build_settings}
      "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix")
endif()

run(${CMAKE_COMMAND} --build "${WORK_DIR}/build" --parallel 1)
run("${WORK_DIR}/build/consumer")
message(STATUS "${output}")
