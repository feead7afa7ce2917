# The DLLs a Windows build's programs load at run time: SDL3.dll and, with MinGW-w64 GCC, its
# runtime (OpenMP, the C++ library, the unwinder, the POSIX threads layer). They are copied
# beside the programs in the build folder, so that the programs and tests run from there, and
# the packaging installs the same list (LUMETH_RUNTIME_DLLS).
set(LUMETH_RUNTIME_DLLS "")
if(NOT WIN32)
    return()
endif()

if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    foreach(dll libgomp-1.dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        # The compiler knows where its own runtime lies; it prints the bare name for a file
        # it cannot find.
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
            # libwinpthread comes with the MinGW-w64 headers and libraries, not with GCC.
            find_file(path_${dll} ${dll} PATH_SUFFIXES lib bin NO_CACHE)
            set(path "${path_${dll}}")
        endif()
        if(NOT path)
            message(FATAL_ERROR "${dll}, a runtime DLL of ${CMAKE_CXX_COMPILER}, was not found")
        endif()
        list(APPEND LUMETH_RUNTIME_DLLS "${path}")
    endforeach()
endif()

set(lumeth_dll_copies ${LUMETH_RUNTIME_DLLS})
if(LUMETH_HAVE_SDL3)
    list(APPEND lumeth_dll_copies $<TARGET_FILE:SDL3::SDL3>)
endif()
if(lumeth_dll_copies)
    add_custom_target(lumeth_runtime_dlls ALL
        COMMAND ${CMAKE_COMMAND} -E copy_if_different ${lumeth_dll_copies}
                $<TARGET_FILE_DIR:lumeth-bench>
        COMMENT "Copying the runtime DLLs beside the programs"
        VERBATIM)
endif()
