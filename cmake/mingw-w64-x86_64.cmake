# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 GCC, posix thread model (the
# one with std::thread and the libgomp OpenMP runtime):
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
# Libraries and packages are looked up only in the MinGW sysroot and in the prefixes that
# scripts/build-windows.sh builds SDL3 and GoogleTest into (.deps/mingw-w64/*), never among
# the build machine's own Linux libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LUMETH_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LUMETH_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LUMETH_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${LUMETH_MINGW_TRIPLET}-windres)

get_filename_component(lumeth_mingw_deps "${CMAKE_CURRENT_LIST_DIR}/../.deps/mingw-w64" ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH
    /usr/${LUMETH_MINGW_TRIPLET}
    ${lumeth_mingw_deps}/sdl3
    ${lumeth_mingw_deps}/googletest)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
