# Registration of the progress window's screenshot test (included by tests/CMakeLists.txt after
# the rooms). It starts a private Xvfb with a compositing manager, shows the real window (under
# Wine with its X11 driver for the Windows build), and keeps the captured PNG files of both modes
# in <build>/artefacts/view. It is skipped where Xvfb, xcompmgr or ImageMagick's import is missing.
add_test(NAME screenshot.view
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/view/screenshot_test.py)
set_tests_properties(screenshot.view PROPERTIES
    ENVIRONMENT "PALLATON_BIN_DIR=${CMAKE_BINARY_DIR}/bin;PALLATON_TARGET=${PALLATON_TEST_TARGET};PALLATON_ARTEFACT_DIR=${CMAKE_BINARY_DIR}/artefacts/view"
    SKIP_REGULAR_EXPRESSION "OK \\(skipped=3\\)"
    TIMEOUT 900)
if(CMAKE_CROSSCOMPILING)
    # The X11 prefix is shared by whoever shows windows under Wine.
    set_tests_properties(screenshot.view PROPERTIES RESOURCE_LOCK wine-x11-prefix)
endif()
