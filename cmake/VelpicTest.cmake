include(GoogleTest)

# The headers the test files of a folder parse, compiled once per test executable: GoogleTest with its mocks, the
# standard library and, where a folder asks for them, Qt, cpp-httplib and nlohmann/json. They take most of the
# compile time of a test file, which is short by itself.
set(VELPIC_TEST_HEADERS
    <gtest/gtest.h> <gmock/gmock.h>
    <algorithm> <atomic> <chrono> <condition_variable> <cstdint> <cstdlib> <cstring> <filesystem> <fstream>
    <functional> <future> <map> <memory> <mutex> <optional> <set> <sstream> <string> <thread> <utility> <vector>)
set(VELPIC_TEST_HEADERS_GUI <QByteArray> <QBuffer> <QClipboard> <QGuiApplication> <QImage> <QMimeData> <QString>
    <QStringList> <QUrl>)
set(VELPIC_TEST_HEADERS_WIDGETS ${VELPIC_TEST_HEADERS_GUI} <QApplication> <QCheckBox> <QComboBox> <QGroupBox>
    <QLabel> <QLineEdit> <QMenu> <QMessageBox> <QPushButton> <QRadioButton> <QTabWidget> <QTimer> <QTreeWidget>
    <QWidget>)
set(VELPIC_TEST_HEADERS_HTTPLIB <httplib.h>)
set(VELPIC_TEST_HEADERS_JSON <nlohmann/json.hpp>)

# One test executable per tests/ folder, <prefix>_tests, made of every *_test.cpp in it (globbed again at build
# time, so a new file joins by itself) and the helper sources named after SOURCES. Each file stays a translation
# unit of its own, so the helpers in one file's anonymous namespace never meet another file's. Every test is
# registered with ctest by its GoogleTest name and labelled with the folder.
#   velpic_add_tests(app LIBS velpic_ui HEADERS WIDGETS HTTPLIB SOURCES helper.cpp)
function(velpic_add_tests prefix)
    cmake_parse_arguments(ARG "" "" "LIBS;SOURCES;HEADERS" ${ARGN})
    file(GLOB _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
    set(_target ${prefix}_tests)
    add_executable(${_target} ${_tests} ${ARG_SOURCES})
    target_link_libraries(${_target} PRIVATE ${ARG_LIBS} velpic_test_support GTest::gtest GTest::gmock
        GTest::gtest_main)
    set(_headers ${VELPIC_TEST_HEADERS})
    foreach(_set IN LISTS ARG_HEADERS)
        list(APPEND _headers ${VELPIC_TEST_HEADERS_${_set}})
    endforeach()
    target_precompile_headers(${_target} PRIVATE ${_headers})
    if(CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache$")
        # ccache caches a compile that uses a precompiled header only when told to ignore its macros and times.
        set_property(TARGET ${_target} PROPERTY CXX_COMPILER_LAUNCHER ${CMAKE_COMMAND} -E env
            CCACHE_SLOPPINESS=pch_defines,time_macros ${CMAKE_CXX_COMPILER_LAUNCHER})
    endif()
    gtest_discover_tests(${_target}
        DISCOVERY_TIMEOUT 60
        PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS ${prefix})
endfunction()
