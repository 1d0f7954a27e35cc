# Builds and runs the program of docs/getting-started.md as a reader would, run by CTest as a
# script (cmake -P): orv from this build is installed into a scratch home's ~/.local, the files the
# walk-through shows are written into a scratch folder, and its build-and-run commands run there.
# SOURCE_DIR, BUILD_DIR, WORK_DIR, CXX, CXX_FLAGS, LINKER_FLAGS come from the orv build.

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${WORK_DIR}"
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    string(JOIN " " command ${ARGN})
    message(FATAL_ERROR "failed (${status}): ${command}\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

# The first fenced block after the line `marker` in `text`.
function(block_after text marker out)
  string(FIND "${text}" "${marker}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "docs/getting-started.md lacks ${marker}")
  endif()
  string(SUBSTRING "${text}" ${at} -1 rest)
  string(REGEX MATCH "```[a-z]*\n(.*)" ignored "${rest}")
  set(body "${CMAKE_MATCH_1}")
  string(FIND "${body}" "\n```" end)
  string(SUBSTRING "${body}" 0 ${end} body)
  set(${out} "${body}\n" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/first-image")
set(home "${WORK_DIR}/home")
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${home}/.local")

file(READ "${SOURCE_DIR}/docs/getting-started.md" doc)
foreach(name CMakeLists.txt main.cpp)
  block_after("${doc}" "<!-- file: ${name} -->" content)
  file(WRITE "${WORK_DIR}/first-image/${name}" "${content}")
endforeach()
block_after("${doc}" "<!-- commands: build-and-run -->" commands)
file(WRITE "${WORK_DIR}/build-and-run.sh" "${commands}")

# The reader's environment: their home, and this build's compiler and flags (sanitizers included).
set(ENV{HOME} "${home}")
set(ENV{CXX} "${CXX}")
set(ENV{CXXFLAGS} "${CXX_FLAGS}")
set(ENV{LDFLAGS} "${LINKER_FLAGS}")
run(bash -eu build-and-run.sh)
if(NOT output MATCHES "wrote first-image.png")
  message(FATAL_ERROR "the program did not say it wrote its image:\n${output}")
endif()
# A PNG file's signature, then its header chunk with the width and height: 480 x 270.
file(READ "${WORK_DIR}/first-image/first-image.png" head LIMIT 24 HEX)
if(NOT head STREQUAL "89504e470d0a1a0a0000000d49484452000001e00000010e")
  message(FATAL_ERROR "first-image.png is no 480 x 270 PNG file: it starts with ${head}")
endif()
message(STATUS "${output}")
