# Tests of the application shell. They need SDL3; the in-process ones run on SDL's offscreen
# video driver (label `app`), the end-to-end ones start the real program under Xvfb
# (label `window`).
if(NOT LUMETH_HAVE_SDL3)
    return()
endif()

lumeth_gtest(test_app
    SOURCES test_app.cpp test_app_render.cpp
    LIBS lumeth_app
    LABELS app)
if(CMAKE_CROSSCOMPILING_EMULATOR AND NOT WIN32)
    target_compile_definitions(test_app PRIVATE LUMETH_TEST_FORK_ONLY)
endif()

# Each script exits 77 when the X tools it needs are missing, which CTest shows as skipped.
# A Windows build runs them through its emulator (wine) on the same Xvfb displays, with SDL's
# software renderer: under wine SDL's OpenGL renderer recreates the window. Without a display
# a Windows program behaves as wine does, not as Windows, so that case is Linux's alone; so
# is the resized window's, whose sizes and window manager wine's own window handling stands
# between.
set(lumeth_e2e_scripts e2e_keys_and_output e2e_title_and_time e2e_screenshot)
if(NOT WIN32)
    list(PREPEND lumeth_e2e_scripts e2e_no_display)
    list(APPEND lumeth_e2e_scripts e2e_scaled_window)
endif()
foreach(script IN LISTS lumeth_e2e_scripts)
    add_test(NAME app.${script}
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/${script}.sh
                     ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:lumeth>)
    set_tests_properties(app.${script} PROPERTIES
        LABELS window
        TIMEOUT 600
        SKIP_RETURN_CODE 77
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    if(CMAKE_CROSSCOMPILING_EMULATOR)
        set_tests_properties(app.${script} PROPERTIES ENVIRONMENT SDL_RENDER_DRIVER=software)
    endif()
endforeach()
