# cmake --install into a scratch prefix; the programs and the component package are there, and
# examples/consumer configures, builds and runs against the package alone.
include(${CMAKE_CURRENT_LIST_DIR}/Checks.cmake)

file(REMOVE_RECURSE ${WORK})
set(root ${WORK}/root)
run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${root})
check_program_files(${root})
foreach(file include/zelvator/cport/ComPort.h include/zelvator/platform/win32.h
        lib/cmake/ZelvatorComponents/ZelvatorComponentsConfig.cmake)
    if(NOT EXISTS ${root}/${file})
        message(FATAL_ERROR "missing from the installation: ${file}")
    endif()
endforeach()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/consumer -B ${WORK}/consumer -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH=${root} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK}/consumer)

# The consumer on a pseudo-terminal: what the far end writes comes out on its standard output.
find_program(PYTHON3 python3)
if(NOT PYTHON3)
    message("python3 is missing: the consumer was built but not run on a pseudo-terminal")
    return()
endif()
run(${PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/run_on_pty.py ${WORK}/consumer/zelvator-consumer)
if(NOT run_output STREQUAL "hello from the far end\n")
    message(FATAL_ERROR "the consumer printed '${run_output}'")
endif()
