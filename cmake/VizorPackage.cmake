# Debian binary packages, one per install component:
#   cpack --config build/CPackConfig.cmake -G DEB -B <dir>
# Configure the build with -DCMAKE_INSTALL_PREFIX=/usr (Debian's folders:
# lib/<multiarch>, the interpreter's dist-packages) and
# -DCMAKE_SKIP_INSTALL_RPATH=ON (the library is on the default search path).
#
#   libvizor1      the shared library
#   libvizor-dev   headers, static library, pkg-config and CMake files
#   vizor          the command-line tool, its man page, the viewer, the udev rule
#   python3-vizor  the Python package
#   vizor-virtual  the virtual camera: vizor's --virtual module and
#                  vizor-vcam-run; the only package that needs umockdev
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vizor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "libvizor developers <vizor@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host library of the vizor time-of-flight depth cameras")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies on Debian's libraries come from dpkg-shlibdeps; those between
# the packages are written below.
# dpkg-shlibdeps finds libvizor.so.1 in the build tree (it is in no
# installed package yet).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})

set(CPACK_COMPONENTS_ALL runtime dev)
if(TARGET vizor_tool)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()
if(VIZOR_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
if(TARGET vizor_virtual)
  list(APPEND CPACK_COMPONENTS_ALL virtual)
endif()

set(_vz_same "(= ${PROJECT_VERSION})")
set(_vz_soname libvizor${PROJECT_VERSION_MAJOR})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${_vz_soname})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "vizor depth camera library
 libvizor is the host-side library of the vizor USB time-of-flight depth
 camera: it lists and opens cameras, configures them and turns their frames
 into distance images, gray images and point clouds.")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)  # the shlibs file of libvizor1
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvizor-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${_vz_soname} ${_vz_same}, libusb-1.0-0-dev")
if(MINIZIP_FOUND)
  string(APPEND CPACK_DEBIAN_DEV_PACKAGE_DEPENDS ", libminizip-dev, zlib1g-dev")
endif()
set(CPACK_DEBIAN_DEV_DESCRIPTION "vizor depth camera library (development files)
 The C headers, the static library, and the pkg-config (vizor, vizor-static)
 and CMake (find_package(vizor)) files of libvizor.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME vizor)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION science)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "${_vz_soname} ${_vz_same}")
set(CPACK_DEBIAN_TOOL_PACKAGE_RECOMMENDS "libjs-three")
set(CPACK_DEBIAN_TOOL_PACKAGE_SUGGESTS "vizor-virtual")
set(CPACK_DEBIAN_TOOL_DESCRIPTION "command-line tool of the vizor depth cameras
 vizor lists cameras, shows what a camera is, captures frames into PNG, PLY
 and frame files, records and replays raw frames, reads and writes registers
 and parameters, moves data images and firmware, and shows a camera live in
 the browser. The udev rule lets members of plugdev open the cameras.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-vizor)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(_vz_py "python3 (>= ${VIZOR_PYTHON_VERSION}), python3 (<< ${VIZOR_PYTHON_VERSION}.99)")
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${_vz_soname} ${_vz_same}, ${_vz_py}, python3-numpy")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "vizor depth camera library (Python 3)
 The Python package vizor: cameras, capture, frames as numpy arrays, frame
 files and raw recordings.")

set(CPACK_DEBIAN_VIRTUAL_PACKAGE_NAME vizor-virtual)
set(CPACK_DEBIAN_VIRTUAL_PACKAGE_SECTION science)
# umockdev holds the preload library the emulated bus runs under.
set(CPACK_DEBIAN_VIRTUAL_PACKAGE_DEPENDS "vizor ${_vz_same}, ${_vz_soname} ${_vz_same}, umockdev")
set(CPACK_DEBIAN_VIRTUAL_DESCRIPTION "virtual vizor depth camera
 An emulated camera (epc660, epc635 or OPT8241 sensor) on a virtual USB bus
 below the real libusb: vizor --virtual and vizor-vcam-run, which runs any
 program linked with libvizor on it.")

# Every package carries the copyright and a changelog in its doc folder.
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
               ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/debian/changelog)
foreach(_vz_c IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${_vz_c} _vz_C)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
                ${PROJECT_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${_vz_C}_PACKAGE_NAME}
          COMPONENT ${_vz_c})
endforeach()

include(CPack)
