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

# Each script exits 77 when the X tools it needs are missing, which CTest shows as skipped.
foreach(script
        e2e_no_display
        e2e_keys_and_output
        e2e_title_and_time
        e2e_screenshot)
    add_test(NAME app.${script}
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/${script}.sh $<TARGET_FILE:lumeth>)
    set_tests_properties(app.${script} PROPERTIES
        LABELS window
        TIMEOUT 180
        SKIP_RETURN_CODE 77
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endforeach()
