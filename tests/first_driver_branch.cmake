# The table of the first NVIDIA driver branch for each CUDA release (cmake/cuda_compiler.cmake):
# a release within a major version has its own branch, and a release the table does not know
# gets none (the notes then name the CUDA version), rather than the branch of its major version.
#   cmake -P first_driver_branch.cmake
set(PROJECT_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/..)
include(${PROJECT_SOURCE_DIR}/cmake/cuda_compiler.cmake)
set(failed 0)
foreach(case 12.0:525 12.4:550 12.8:570 12.9:575 13.0:580 13.1:0 14.0:0 11.8:0)
    string(REPLACE ":" ";" case "${case}")
    list(GET case 0 release)
    list(GET case 1 expected)
    lumeth_first_driver_branch(${release} branch)
    if(NOT branch EQUAL expected)
        message(SEND_ERROR "CUDA ${release}: branch ${branch}, expected ${expected}")
        set(failed 1)
    endif()
endforeach()
# The compiler the set-up fetches is of a release the table knows.
lumeth_first_driver_branch(${LUMETH_FETCHED_CUDA_VERSION} branch)
if(branch EQUAL 0)
    message(SEND_ERROR "the fetched CUDA ${LUMETH_FETCHED_CUDA_VERSION} has no driver branch")
endif()
