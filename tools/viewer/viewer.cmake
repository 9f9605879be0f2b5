# vizor view: the live viewer in the browser, built into the vizor tool.
# Needs Debian's cpp-httplib (HTTP server) and serves three.js from
# libjs-three; both come from scripts/setup.sh.
include(GNUInstallDirs)
find_package(PkgConfig REQUIRED)
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)

# The parts without camera or network; the tests link them.
add_library(vizor_view_core STATIC vizor/view_core.cpp)
target_include_directories(vizor_view_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/vizor)
target_link_libraries(vizor_view_core PRIVATE vizor_flags)

target_sources(vizor_tool PRIVATE vizor/view_engine.cpp vizor/view_server.cpp)
target_link_libraries(vizor_tool PRIVATE vizor_view_core PkgConfig::HTTPLIB)
target_compile_definitions(vizor_tool PRIVATE
  VIZOR_VIEWER_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}/viewer")
install(FILES viewer/index.html viewer/viewer.js viewer/viewer.css
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vizor/viewer COMPONENT tool)
