# Cross-compiling for 64-bit ARM Linux with Debian's aarch64 GCC (g++-aarch64-linux-gnu):
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
# The compiler keeps its own C library and C++ headers (/usr/aarch64-linux-gnu); the other
# libraries come from the arm64 sysroot and the SDL3 prefix that scripts/build-arm64.sh makes
# (.deps/arm64/sysroot, .deps/arm64/sdl3), never from the build machine's own libraries.
# Programs built here run under qemu-aarch64-static with the sysroot as its library root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(LUMETH_ARM64_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${LUMETH_ARM64_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${LUMETH_ARM64_TRIPLET}-g++)

get_filename_component(lumeth_arm64_deps "${CMAKE_CURRENT_LIST_DIR}/../.deps/arm64" ABSOLUTE)
set(LUMETH_ARM64_SYSROOT ${lumeth_arm64_deps}/sysroot)
set(CMAKE_FIND_ROOT_PATH ${LUMETH_ARM64_SYSROOT} ${lumeth_arm64_deps}/sdl3)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The libraries' own dependencies are looked up in the sysroot when linking.
string(CONCAT lumeth_arm64_link_flags
       "-Wl,-rpath-link,${LUMETH_ARM64_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}"
       " -Wl,-rpath-link,${LUMETH_ARM64_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${lumeth_arm64_link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${lumeth_arm64_link_flags}")

# pkg-config (FFmpeg's libraries) reads the sysroot's .pc files and prefixes their paths.
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${LUMETH_ARM64_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR}
    "${LUMETH_ARM64_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:${LUMETH_ARM64_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
# FindHDF5 would ask the build machine's h5cc for its x86-64 paths: it searches the sysroot
# instead (the serial library, under hdf5/serial).
set(HDF5_C_COMPILER_EXECUTABLE "" CACHE FILEPATH "no HDF5 compiler wrapper for arm64")
# The sysroot's library folders are the arm64 system's own: under qemu-aarch64-static -L they
# are /lib and /usr/lib, so the programs need no run path to them.
list(APPEND CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES
     ${LUMETH_ARM64_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}
     ${LUMETH_ARM64_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE})
