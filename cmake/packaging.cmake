# What a user downloads, built with CPack (`cpack` in the build folder):
#   Windows: a zip with lumeth.exe, lumeth-bench.exe, SDL3.dll and the compiler's runtime DLLs
#            beside them, a README of its own (README.txt), this project's licence and the
#            licences of what it bundles (folder licenses/).
#   Linux:   a Debian package: the programs in /usr/bin (with lumeth-record where it is
#            built, and the two scripts that read its files as lumeth-plot-snapshot and
#            lumeth-animation), SDL3 bundled in the package's own library folder
#            /usr/lib/lumeth (found through the run path $ORIGIN/../lib/lumeth, so that no
#            SDL3 needs to be installed), a README of its own (docs/README-debian.md) with
#            the pages of docs/ beside it, the manual pages, and the licences in the Debian
#            copyright file. FFmpeg's libraries, which lumeth-record links, come from
#            Debian's own packages: dependencies.
#   The Windows build has no FFmpeg, so its zip has no recorder.
# LUMETH_PACKAGE_FILE is the package's path, for the tests that unpack and run it.
if(NOT TARGET lumeth)
    return()  # no SDL3: nothing a user could run
endif()

set(lumeth_programs lumeth lumeth-bench)
if(TARGET lumeth-record)
    list(APPEND lumeth_programs lumeth-record)
endif()
set(lumeth_maintainer "The Lumeth developers <lumeth@example.org>")
set(lumeth_summary "real-time simulation of a spiral galaxy around a spinning black hole")

# SDL3's licence text: where SDL's own install puts it (share/licenses/SDL3), or at the top of
# SDL's official development package for Visual Studio (one level above its cmake folder).
find_file(LUMETH_SDL3_LICENSE LICENSE.txt
    HINTS "${SDL3_DIR}/../../../share/licenses/SDL3" "${SDL3_DIR}/.."
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT LUMETH_SDL3_LICENSE)
    message(WARNING "SDL3's LICENSE.txt was not found near ${SDL3_DIR}: the package lacks it")
endif()

# The SDL3 library target itself (SDL3::SDL3 is an alias of the shared library's target).
get_target_property(lumeth_sdl3_target SDL3::SDL3 ALIASED_TARGET)
if(NOT lumeth_sdl3_target)
    set(lumeth_sdl3_target SDL3::SDL3)
endif()

set(CPACK_PACKAGE_NAME lumeth)
set(CPACK_PACKAGE_VENDOR "The Lumeth developers")
set(CPACK_PACKAGE_CONTACT "${lumeth_maintainer}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${lumeth_summary}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")

# Strips the named files, installed in <destination>, when the programs are stripped (CPack
# strips what install(TARGETS) installs, not libraries installed as files).
function(lumeth_strip_installed destination)
    if(NOT CMAKE_STRIP)
        return()
    endif()
    foreach(name IN LISTS ARGN)
        install(CODE "
            if(CMAKE_INSTALL_DO_STRIP)
                execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/${name}\")
            endif()")
    endforeach()
endfunction()

# Installs the SDL3 library into <destination>.
function(lumeth_install_sdl3 destination)
    install(IMPORTED_RUNTIME_ARTIFACTS ${lumeth_sdl3_target}
            RUNTIME DESTINATION ${destination} LIBRARY DESTINATION ${destination})
    lumeth_strip_installed(${destination} $<TARGET_FILE_NAME:${lumeth_sdl3_target}>)
endfunction()

if(WIN32)
    install(TARGETS ${lumeth_programs} RUNTIME DESTINATION .)
    lumeth_install_sdl3(.)
    install(FILES ${LUMETH_RUNTIME_DLLS} DESTINATION .)
    foreach(dll IN LISTS LUMETH_RUNTIME_DLLS)
        get_filename_component(name "${dll}" NAME)
        lumeth_strip_installed(. ${name})
    endforeach()
    # The zip's own README (docs/README-windows.txt.in): what a Windows user needs, with this
    # build's GPU requirements.
    if(LUMETH_HAVE_DRIVER_API)
        math(EXPR lumeth_capability_major "${LUMETH_LOWEST_CUDA_ARCHITECTURE} / 10")
        math(EXPR lumeth_capability_minor "${LUMETH_LOWEST_CUDA_ARCHITECTURE} % 10")
        if(LUMETH_FIRST_DRIVER_BRANCH)
            set(LUMETH_ZIP_DRIVER "R${LUMETH_FIRST_DRIVER_BRANCH} or newer")
        else()
            set(LUMETH_ZIP_DRIVER "one for CUDA ${LUMETH_MINIMUM_DRIVER_CUDA_RELEASE} or newer")
        endif()
        # The first GeForce cards of that compute capability, where it has some.
        set(lumeth_first_geforce "")
        foreach(entry "60:GTX 10" "75:GTX 16 or RTX 20" "86:RTX 30" "89:RTX 40" "120:RTX 50")
            string(REPLACE ":" ";" entry "${entry}")
            list(GET entry 0 architecture)
            if(architecture EQUAL LUMETH_LOWEST_CUDA_ARCHITECTURE)
                list(GET entry 1 lumeth_first_geforce)
                set(lumeth_first_geforce
                    " (a GeForce ${lumeth_first_geforce} series card or newer, for example)")
            endif()
        endforeach()
        string(CONCAT LUMETH_ZIP_GPU_TEXT
            "The simulation runs on an NVIDIA GPU when the computer has one of compute "
            "capability\n${lumeth_capability_major}.${lumeth_capability_minor} or newer"
            "${lumeth_first_geforce} and an\n"
            "NVIDIA driver for CUDA ${LUMETH_MINIMUM_DRIVER_CUDA_RELEASE} or newer: "
            "${LUMETH_ZIP_DRIVER}.\n"
            "Nothing else is needed: the GPU code is inside lumeth.exe, and the driver "
            "(nvcuda.dll)\ncomes with every NVIDIA display driver. On a laptop with two "
            "GPUs the program asks the\nNVIDIA driver for the NVIDIA one.")
    else()
        message(WARNING "nvcc not found: the Windows programs and their zip have no GPU path")
        set(LUMETH_ZIP_DRIVER "R580 or newer")
        string(CONCAT LUMETH_ZIP_GPU_TEXT
            "This build carries no GPU code (its build machine had no CUDA toolkit): the "
            "simulation\nalways runs on the CPU.")
    endif()
    configure_file(docs/README-windows.txt.in ${PROJECT_BINARY_DIR}/package/README.txt @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/package/README.txt DESTINATION .)
    install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
    if(LUMETH_SDL3_LICENSE)
        install(FILES "${LUMETH_SDL3_LICENSE}" DESTINATION licenses RENAME SDL3.txt)
    endif()
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        # The GCC runtime (libgomp, libstdc++, libgcc_s: GPL with the GCC Runtime Library
        # Exception) and libwinpthread (MinGW-w64), as Debian's packages of them state it.
        set(LUMETH_GCC_RUNTIME_LICENSE /usr/share/doc/gcc-mingw-w64-base/copyright
            CACHE FILEPATH "Licence text of the GCC runtime DLLs")
        set(LUMETH_WINPTHREAD_LICENSE /usr/share/doc/mingw-w64-x86-64-dev/copyright
            CACHE FILEPATH "Licence text of libwinpthread")
        foreach(pair "GCC_RUNTIME;GCC-runtime.txt" "WINPTHREAD;winpthreads.txt")
            list(GET pair 0 which)
            list(GET pair 1 name)
            if(EXISTS "${LUMETH_${which}_LICENSE}")
                install(FILES "${LUMETH_${which}_LICENSE}" DESTINATION licenses RENAME ${name})
            else()
                message(WARNING "${LUMETH_${which}_LICENSE} not found: the package lacks it")
            endif()
        endforeach()
    elseif(MSVC)
        # The Visual C++ and OpenMP runtime DLLs, with Microsoft's redistribution terms.
        set(CMAKE_INSTALL_OPENMP_LIBRARIES ON)
        set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION .)
        include(InstallRequiredSystemLibraries)
    endif()

    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME "lumeth-${PROJECT_VERSION}-win64")
    set(LUMETH_PACKAGE_FILE "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.zip")
else()
    include(GNUInstallDirs)
    set(lumeth_private_libdir "${CMAKE_INSTALL_LIBDIR}/lumeth")
    set(lumeth_docdir "${CMAKE_INSTALL_DATAROOTDIR}/doc/lumeth")
    # The build tree keeps its absolute run path to SDL3; the installed programs look beside
    # themselves.
    set_target_properties(${lumeth_programs} PROPERTIES
        INSTALL_RPATH "$ORIGIN/../${lumeth_private_libdir}")
    install(TARGETS ${lumeth_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    lumeth_install_sdl3(${lumeth_private_libdir})
    # The package's README speaks of the installed commands; the pages it points to, and the
    # pictures they show, go beside it. The marks that tell the pages' test what to do with a
    # command (<!-- docs-test: ... --> and the blank line after it) are left out.
    function(lumeth_install_page page destination name)
        file(READ "${PROJECT_SOURCE_DIR}/${page}" text)
        string(REGEX REPLACE "<!-- docs-test:[^\n]*-->\n\n?" "" text "${text}")
        file(WRITE "${PROJECT_BINARY_DIR}/package/pages/${name}" "${text}")
        install(FILES "${PROJECT_BINARY_DIR}/package/pages/${name}" DESTINATION ${destination})
    endfunction()
    lumeth_install_page(docs/README-debian.md ${lumeth_docdir} README.md)
    file(GLOB lumeth_pages RELATIVE "${PROJECT_SOURCE_DIR}" "${PROJECT_SOURCE_DIR}/docs/*.md")
    list(REMOVE_ITEM lumeth_pages docs/README-debian.md)
    foreach(page IN LISTS lumeth_pages)
        get_filename_component(name "${page}" NAME)
        lumeth_install_page(${page} ${lumeth_docdir}/docs ${name})
    endforeach()
    install(FILES docs/record.webp docs/snapshot-step0.png docs/snapshot-step10.png
            DESTINATION ${lumeth_docdir}/docs)
    # The scripts that read the recorder's files, as commands of the package.
    set(lumeth_scripts)
    if(TARGET lumeth-record)
        install(PROGRAMS scripts/plot_snapshot.py DESTINATION ${CMAKE_INSTALL_BINDIR}
                RENAME lumeth-plot-snapshot)
        install(PROGRAMS scripts/animation.py DESTINATION ${CMAKE_INSTALL_BINDIR}
                RENAME lumeth-animation)
        set(lumeth_scripts lumeth-plot-snapshot lumeth-animation)
    endif()

    # Debian's machine-readable copyright file: this project under the MIT (Expat) licence,
    # the bundled SDL3 under the zlib licence, each with its full text.
    function(lumeth_copyright_paragraph out files copyright license_name license_file)
        file(READ "${license_file}" text)
        string(REGEX REPLACE "[ \t\r]+\n" "\n" text "${text}")  # no trailing blanks
        string(STRIP "${text}" text)
        string(REPLACE "\n\n" "\n.\n" text "${text}")  # an empty line is " ." in the file
        string(REPLACE "\n" "\n " text "${text}")
        set(${out} "Files: ${files}\nCopyright: ${copyright}\nLicense: ${license_name}\n ${text}\n"
            PARENT_SCOPE)
    endfunction()
    lumeth_copyright_paragraph(ours "*" "2026 The Lumeth developers" Expat
                               "${PROJECT_SOURCE_DIR}/LICENSE")
    set(copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
                  "Upstream-Name: lumeth\n\n${ours}")
    if(LUMETH_SDL3_LICENSE)
        lumeth_copyright_paragraph(sdl "usr/lib/lumeth/libSDL3.so*"
                                   "1997-2025 Sam Lantinga <slouken@libsdl.org>" Zlib
                                   "${LUMETH_SDL3_LICENSE}")
        string(APPEND copyright "\n${sdl}")
    endif()
    string(CONCAT copyright ${copyright})
    file(WRITE "${PROJECT_BINARY_DIR}/package/copyright" "${copyright}")
    install(FILES "${PROJECT_BINARY_DIR}/package/copyright" DESTINATION ${lumeth_docdir})

    # Installs <file> compressed without a time stamp, as Debian wants documentation, into
    # <destination>.
    function(lumeth_install_gzipped file destination)
        get_filename_component(name "${file}" NAME)
        set(compressed "${PROJECT_BINARY_DIR}/package/${name}.gz")
        execute_process(COMMAND gzip -9nc "${file}" OUTPUT_FILE "${compressed}"
                        RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
            message(FATAL_ERROR "gzip could not compress ${file}")
        endif()
        install(FILES "${compressed}" DESTINATION ${destination})
    endfunction()

    # A native package's change log, and the manual pages.
    file(WRITE "${PROJECT_BINARY_DIR}/package/changelog"
         "lumeth (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
         "  * Release ${PROJECT_VERSION}.\n\n"
         " -- ${lumeth_maintainer}  Tue, 08 Dec 2026 12:00:00 +0000\n")
    lumeth_install_gzipped("${PROJECT_BINARY_DIR}/package/changelog" ${lumeth_docdir})
    foreach(program IN LISTS lumeth_programs lumeth_scripts)
        lumeth_install_gzipped("${PROJECT_SOURCE_DIR}/docs/${program}.1"
                               ${CMAKE_INSTALL_MANDIR}/man1)
    endforeach()

    if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
        set(lumeth_deb_arch arm64)
    else()
        execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE lumeth_deb_arch
                        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
    if(NOT lumeth_deb_arch)
        set(lumeth_deb_arch amd64)
    endif()
    # A cross-built package's libraries are the sysroot's (cmake/aarch64-linux-gnu.cmake):
    # dpkg-shlibdeps, run by CPack, finds them there, in the target's architecture, and the
    # packages they come from in the sysroot's own dpkg database.
    if(CMAKE_CROSSCOMPILING AND LUMETH_ARM64_SYSROOT)
        set(multiarch "${LUMETH_ARM64_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE}")
        string(APPEND multiarch ":${LUMETH_ARM64_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}")
        file(WRITE "${PROJECT_BINARY_DIR}/package/cross-shlibdeps.cmake"
             "set(ENV{DEB_HOST_ARCH} ${lumeth_deb_arch})\n"
             "set(ENV{DPKG_ADMINDIR} \"${LUMETH_ARM64_SYSROOT}/var/lib/dpkg\")\n"
             "set(ENV{LD_LIBRARY_PATH} \"${multiarch}\")\n")
        set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/package/cross-shlibdeps.cmake")
    endif()
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${lumeth_deb_arch})
    set(CPACK_DEBIAN_FILE_NAME "lumeth_${PROJECT_VERSION}_${lumeth_deb_arch}.deb")
    set(CPACK_DEBIAN_PACKAGE_SECTION science)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # The summary is the synopsis line; this is the extended description under it.
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "A model galaxy of 100,000 particles around a black hole, advanced by one step\n"
        "of 100 million years every frame and drawn face-on in a desktop window. The\n"
        "physics runs on a CUDA GPU when the build has one, else on all CPU cores.\n"
        "lumeth-record makes videos of it without a window, lumeth-bench times it.")
    string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
    # dpkg-shlibdeps finds what the programs and the bundled SDL3 link against (FFmpeg's
    # libavcodec, libavformat, libswscale and libavutil among them); SDL3 itself
    # loads Xlib and its extensions only at run time, so those are named here.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
        "${CMAKE_INSTALL_PREFIX}/${lumeth_private_libdir}")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libx11-6, libxext6")
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libxcursor1, libxi6, libxrandr2, libxfixes3, libxss1")
    if(lumeth_scripts)
        # The two scripts run on Debian's python3; the modules each needs are recommended,
        # so that the programs install without the plotting stack.
        string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", python3")
        string(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS
               ", python3-h5py, python3-numpy, python3-matplotlib, python3-av, python3-pil")
    endif()
    # What the program's own message without a display tells the user to run (xvfb-run, which
    # needs xauth).
    set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xvfb, xauth")
    set(LUMETH_PACKAGE_FILE "${CPACK_PACKAGE_DIRECTORY}/${CPACK_DEBIAN_FILE_NAME}")
endif()

include(CPack)
