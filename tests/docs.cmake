# The commands of the pages (README.md, docs/*.md), run as written from a scratch folder
# (tests/docs_commands.py says how a page marks them). They use the three programs and the
# Python modules of the scripts beside them (Debian's python3), so the test needs the
# recorder's build.
if(NOT LUMETH_HAVE_RECORD OR CMAKE_CROSSCOMPILING OR NOT LUMETH_SYSTEM_PYTHON)
    return()
endif()
add_test(NAME docs.commands
         COMMAND ${LUMETH_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/docs_commands.py
                 ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
set_tests_properties(docs.commands PROPERTIES LABELS docs TIMEOUT 600)
