# The install tree, the CMake package, pellion.pc and the packages CPack makes from them
# (a .deb on Linux, a zip for Windows). Only the module, its headers, the tools and docs.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Hosts find plug-ins in a folder of their own; on Windows the DLL sits with the programs.
if(WIN32)
  set(PELLION_INSTALL_MODULEDIR ${CMAKE_INSTALL_BINDIR})
else()
  set(PELLION_INSTALL_MODULEDIR lib/pellion)
endif()
set(PELLION_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
set(PELLION_INSTALL_CMAKEDIR lib/cmake/Pellion)
# pellion.pc names no library, only paths: the same for every architecture.
set(PELLION_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_DATAROOTDIR}/pkgconfig)
set(PELLION_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/pellion)
if(WIN32)
  set(PELLION_INSTALL_MODULE ${PELLION_INSTALL_MODULEDIR}/Pellion.dll)
else()
  set(PELLION_INSTALL_MODULE ${PELLION_INSTALL_MODULEDIR}/Pellion.so)
endif()

install(TARGETS Pellion LIBRARY DESTINATION ${PELLION_INSTALL_MODULEDIR})
install(DIRECTORY include/pellion DESTINATION ${PELLION_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(FILES README.md DESTINATION ${PELLION_INSTALL_DOCDIR})

# Relocatable: every path is relative to where the files land.
configure_package_config_file(cmake/package/PellionConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/package/PellionConfig.cmake
  INSTALL_DESTINATION ${PELLION_INSTALL_CMAKEDIR}
  PATH_VARS PELLION_INSTALL_INCLUDEDIR PELLION_INSTALL_MODULE)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/package/PellionConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
file(RELATIVE_PATH PELLION_PC_TO_PREFIX /root/${PELLION_INSTALL_PKGCONFIGDIR} /root)
string(REGEX REPLACE "/$" "" PELLION_PC_TO_PREFIX "${PELLION_PC_TO_PREFIX}")
configure_file(cmake/package/pellion.pc.in ${CMAKE_CURRENT_BINARY_DIR}/package/pellion.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/PellionConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/package/PellionConfigVersion.cmake
  DESTINATION ${PELLION_INSTALL_CMAKEDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/pellion.pc
  DESTINATION ${PELLION_INSTALL_PKGCONFIGDIR})

if(NOT WIN32)
  # What a Debian package's doc folder must hold.
  configure_file(cmake/package/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/package/changelog @ONLY)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/package/changelog.gz
    COMMAND gzip -9nf -c changelog > changelog.gz
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/package/changelog
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/package VERBATIM)
  add_custom_target(pellion_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/package/changelog.gz)
  install(FILES cmake/package/copyright ${CMAKE_CURRENT_BINARY_DIR}/package/changelog.gz
    DESTINATION ${PELLION_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME pellion)
set(CPACK_PACKAGE_VENDOR "the Pellion authors")
set(CPACK_PACKAGE_CONTACT "Pellion authors <pellion@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "video channel plug-in module for desktop hosts")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION video)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the long description.
  set(CPACK_PACKAGE_DESCRIPTION "Pellion.so receives a live H.264/H.265 stream as UDP datagrams,
decodes it with FFmpeg and publishes every picture as NV12 in a named
shared-memory section for the host's renderer. This package holds the
module, the host-facing headers, a CMake package and a pkg-config file for
host and renderer builds, and the tools pellion-send, pellion-host,
pellion-view and pellion-logcat.")
endif()
include(CPack)
