# Install rules: library, headers, CMake package, pkg-config file, udev rule.
# Each file belongs to one component, and each component becomes one Debian
# package (cmake/VizorPackage.cmake): runtime (the shared library), dev
# (headers, static library, CMake and pkg-config files), tool (vizor, its
# man page, viewer and udev rule), python and virtual.
include(CMakePackageConfigHelpers)

install(TARGETS vizor vizor_archive EXPORT vizorTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/vizor DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT vizorTargets NAMESPACE vizor:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vizor
        COMPONENT dev)
configure_package_config_file(cmake/vizorConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/vizorConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vizor)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vizorConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vizorConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/vizorConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vizor COMPONENT dev)

# The prefix is found relative to the .pc file, so that an install under any
# --prefix gives correct paths.
file(RELATIVE_PATH VIZOR_PC_TO_PREFIX "/vz/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/vz")
string(REGEX REPLACE "/$" "" VIZOR_PC_TO_PREFIX "${VIZOR_PC_TO_PREFIX}")
# vizor.pc links libvizor.so; vizor-static.pc links libvizor.a.
set(VIZOR_PC_ZIP_REQUIRES "")
if(MINIZIP_FOUND)
  set(VIZOR_PC_ZIP_REQUIRES ", minizip, zlib")
endif()
foreach(_vz_pc vizor vizor-static)
  configure_file(cmake/${_vz_pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${_vz_pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${_vz_pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT dev)
endforeach()

# udev rule: lets members of plugdev (and the seat's user) open the camera.
string(REGEX REPLACE "^0x" "" _vz_vid "${VIZOR_USB_VID}")
string(REGEX REPLACE "^0x" "" _vz_pid "${VIZOR_USB_PID}")
string(TOLOWER "${_vz_vid}" VIZOR_UDEV_VID)
string(TOLOWER "${_vz_pid}" VIZOR_UDEV_PID)
configure_file(cmake/60-vizor.rules.in ${CMAKE_CURRENT_BINARY_DIR}/60-vizor.rules @ONLY)
# udev reads /etc/udev/rules.d and /usr/lib/udev/rules.d, not /usr/local: with
# the default prefix, pass -DVIZOR_UDEV_RULES_DIR=/etc/udev/rules.d.
set(VIZOR_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Install folder of the udev rule (relative paths are under the prefix)")
# A relative folder is under the install prefix. An absolute one is used as
# given, unless the install is relocated with "cmake --install --prefix P"
# (a staged or private install): then it goes under P too, instead of
# escaping into the system. DESTDIR applies either way.
install(CODE "
  set(_vz_udev_dir [[${VIZOR_UDEV_RULES_DIR}]])
  if(NOT IS_ABSOLUTE \"\${_vz_udev_dir}\")
    set(_vz_udev_dir \"\${CMAKE_INSTALL_PREFIX}/\${_vz_udev_dir}\")
  elseif(NOT \"\${CMAKE_INSTALL_PREFIX}\" STREQUAL [[${CMAKE_INSTALL_PREFIX}]])
    set(_vz_udev_dir \"\${CMAKE_INSTALL_PREFIX}\${_vz_udev_dir}\")
  endif()
  file(INSTALL DESTINATION \"\${_vz_udev_dir}\" TYPE FILE
       FILES [[${CMAKE_CURRENT_BINARY_DIR}/60-vizor.rules]])
" COMPONENT tool)

# The command-line tool (finds the library through its RPATH). Its virtual
# mode and vizor-vcam-run need umockdev and form the component "virtual":
#   cmake --install build --component virtual
if(TARGET vizor_tool)
  install(TARGETS vizor_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
endif()
if(TARGET vizor_virtual)
  install(TARGETS vizor_virtual LIBRARY DESTINATION ${VIZOR_VIRTUAL_MODULE_DIR} COMPONENT virtual)
endif()
if(TARGET vizor-vcam-run)
  install(TARGETS vizor-vcam-run RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT virtual)
endif()
