# Builds the fuzz target TARGET (a project in FUZZ_DIR/TARGET) with clang and
# runs it over its seed corpus for RUNS inputs, with DICT when one is given.
# New inputs found go to a work corpus in the build tree; the seeds stay untouched.
if(NOT TARGET)
    set(TARGET catalogue)
endif()
set(build "${WORK_DIR}/build")
set(corpus "${WORK_DIR}/corpus")
file(MAKE_DIRECTORY "${build}" "${corpus}")

execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${FUZZ_DIR}/${TARGET}" -B "${build}" -G Ninja
        -DCMAKE_BUILD_TYPE=RelWithDebInfo
        -DCMAKE_CXX_COMPILER=${CLANGXX}
        -DHOOP_SOURCE_DIR=${SOURCE_DIR}
        -DQt6_DIR=${QT_DIR}
    RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "configuring the fuzz target failed: ${result}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${build}" -j2 RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "building the fuzz target failed: ${result}")
endif()

set(dict)
if(DICT)
    set(dict -dict=${DICT})
endif()
execute_process(
    COMMAND "${build}/fuzz_${TARGET}" -runs=${RUNS} -max_len=8192 ${dict}
        "${corpus}" "${FUZZ_DIR}/corpus/${TARGET}"
    RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "the ${TARGET} fuzz target failed: ${result}")
endif()
