include(GoogleTest)

# Every *_test.cpp of a tests/ folder becomes its own executable, so one suite's build
# failure never hides another's results.
function(velpic_add_tests prefix)
    cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
    file(GLOB _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
    foreach(_test ${_tests})
        get_filename_component(_name ${_test} NAME_WE)
        set(_target ${prefix}_${_name})
        add_executable(${_target} ${_test})
        target_link_libraries(${_target} PRIVATE ${ARG_LIBS} velpic_test_support GTest::gtest GTest::gmock GTest::gtest_main)
        gtest_discover_tests(${_target}
            DISCOVERY_TIMEOUT 60
            PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS ${prefix})
    endforeach()
endfunction()
