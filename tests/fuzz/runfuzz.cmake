# Builds the fuzz target with clang and runs it over the seed corpus for RUNS inputs.
# New inputs found go to a work corpus in the build tree; the seeds stay untouched.
set(build "${WORK_DIR}/build")
set(corpus "${WORK_DIR}/corpus")
file(MAKE_DIRECTORY "${build}" "${corpus}")

execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${FUZZ_DIR}/xmlreader" -B "${build}" -G Ninja
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

execute_process(
    COMMAND "${build}/fuzz_xmlreader" -runs=${RUNS} -max_len=8192
        -dict=${FUZZ_DIR}/xml.dict "${corpus}" "${FUZZ_DIR}/corpus/xmlreader"
    RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "the XML reader fuzz target failed: ${result}")
endif()
