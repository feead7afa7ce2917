# The package a user downloads (cmake/packaging.cmake): CPack builds it into
# <build>/packages, then a test unpacks it into a scratch folder and runs the program from
# there. Linux: the Debian package, with its bundled SDL3 and lintian's verdict. Windows: the
# zip, under wine.
if(NOT LUMETH_PACKAGE_FILE)
    return()
endif()

add_test(NAME package.create
         COMMAND ${CMAKE_CPACK_COMMAND} --config ${PROJECT_BINARY_DIR}/CPackConfig.cmake
         WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
set_tests_properties(package.create PROPERTIES
    LABELS package
    TIMEOUT 300
    FIXTURES_SETUP lumeth_package)

if(WIN32)
    add_test(NAME package.zip_runs
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/package_zip.sh ${LUMETH_PACKAGE_FILE}
                     ${CMAKE_CROSSCOMPILING_EMULATOR})
    set_tests_properties(package.zip_runs PROPERTIES ENVIRONMENT SDL_RENDER_DRIVER=software)
    set(lumeth_package_test package.zip_runs)
else()
    add_test(NAME package.deb_runs
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/package_deb.sh ${LUMETH_PACKAGE_FILE}
                     ${CMAKE_CROSSCOMPILING_EMULATOR})
    if(CMAKE_CROSSCOMPILING AND LUMETH_ARM64_SYSROOT)
        set_tests_properties(package.deb_runs PROPERTIES
            ENVIRONMENT "LUMETH_PACKAGE_SYSROOT=${LUMETH_ARM64_SYSROOT};SDL_RENDER_DRIVER=software")
    endif()
    set(lumeth_package_test package.deb_runs)
endif()
set_tests_properties(${lumeth_package_test} PROPERTIES
    LABELS "package;window"
    TIMEOUT 900
    SKIP_RETURN_CODE 77
    FIXTURES_REQUIRED lumeth_package
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
