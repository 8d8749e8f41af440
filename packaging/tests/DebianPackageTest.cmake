# CPack makes the Debian packages; the program package unpacks into a scratch root (no
# installation on this machine) with everything in place, names its run-time dependencies, and
# its zelvator-cli runs from there.
include(${CMAKE_CURRENT_LIST_DIR}/Checks.cmake)

find_program(DPKG_DEB dpkg-deb)
if(NOT DPKG_DEB)
    message("dpkg-deb is missing: no Debian package can be made here")
    cmake_language(EXIT 77)
endif()
get_filename_component(bin_dir ${CMAKE_COMMAND} DIRECTORY)
find_program(CPACK cpack HINTS ${bin_dir} REQUIRED)

file(REMOVE_RECURSE ${WORK})
run(${CPACK} -G DEB --config ${BINARY_DIR}/CPackConfig.cmake -B ${WORK}/packages)
file(GLOB deb ${WORK}/packages/zelvator_*.deb)
file(GLOB dev_deb ${WORK}/packages/zelvator-dev_*.deb)
if(NOT deb OR NOT dev_deb)
    message(FATAL_ERROR "cpack made no zelvator and zelvator-dev packages in ${WORK}/packages")
endif()

run(${DPKG_DEB} -f ${deb} Depends Recommends)
foreach(needed libqt6widgets6 qt6-qpa-plugins sdcc-ucsim)
    if(GUI OR NOT needed MATCHES "qt6")
        if(NOT run_output MATCHES "${needed}")
            message(FATAL_ERROR "the package does not name ${needed}:\n${run_output}")
        endif()
    endif()
endforeach()

run(${DPKG_DEB} -x ${deb} ${WORK}/root)
check_program_files(${WORK}/root/usr)
run(${DPKG_DEB} -c ${dev_deb})
if(NOT run_output MATCHES "ZelvatorComponentsConfig.cmake")
    message(FATAL_ERROR "zelvator-dev lacks the CMake package:\n${run_output}")
endif()
