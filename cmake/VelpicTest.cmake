include(GoogleTest)

# One test executable per tests/ folder, <prefix>_tests, made of every *_test.cpp in it (globbed again at build
# time, so a new file joins by itself) and the helper sources named after SOURCES. Each file stays a translation
# unit of its own, so the helpers in one file's anonymous namespace never meet another file's. Every test is
# registered with ctest by its GoogleTest name and labelled with the folder.
#   velpic_add_tests(cli LIBS velpic_cli SOURCES child_process.cpp)
function(velpic_add_tests prefix)
    cmake_parse_arguments(ARG "" "" "LIBS;SOURCES" ${ARGN})
    file(GLOB _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
    set(_target ${prefix}_tests)
    add_executable(${_target} ${_tests} ${ARG_SOURCES})
    target_link_libraries(${_target} PRIVATE ${ARG_LIBS} velpic_test_support GTest::gtest GTest::gmock
        GTest::gtest_main)
    # The code under test is in the libraries, built with the build type's optimisation. The test files themselves,
    # mostly GoogleTest's macros, build in half the time without it (a precompiled header saved next to nothing:
    # their time goes into code generation, not into reading headers).
    target_compile_options(${_target} PRIVATE -O0)
    gtest_discover_tests(${_target}
        DISCOVERY_TIMEOUT 60
        # One value per property: a ";" inside one would be split into a list on its way to ctest. The keyring
        # tests start a Secret Service of their own; every other test keeps to the settings file.
        PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen ENVIRONMENT_MODIFICATION VELPIC_NO_KEYRING=set:1
                   LABELS ${prefix})
endfunction()
