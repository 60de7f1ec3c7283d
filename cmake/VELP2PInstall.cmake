# What `cmake --install` puts under a prefix: the shared library with its SONAME links, the public headers
# (the generated version header among them), the console as `velp2p`, a CMake package that defines
# velp2p::velp2p, and a pkg-config file. Every path inside the package files is relative to where they are
# installed, so an installed tree can be moved and `--prefix` chosen at install time.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELP2P_GENERATED_INCLUDE ${PROJECT_BINARY_DIR}/include)
configure_file(${CMAKE_CURRENT_LIST_DIR}/VELVersion.h.in ${VELP2P_GENERATED_INCLUDE}/velp2p/VELVersion.h @ONLY)
target_include_directories(velp2p PUBLIC $<BUILD_INTERFACE:${VELP2P_GENERATED_INCLUDE}>)

install(TARGETS velp2p
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/velp2p ${VELP2P_GENERATED_INCLUDE}/velp2p
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development FILES_MATCHING PATTERN "*.h")

if(TARGET velp2p_console)
  file(RELATIVE_PATH VELP2P_BIN_TO_LIB /p/${CMAKE_INSTALL_BINDIR} /p/${CMAKE_INSTALL_LIBDIR})
  set_target_properties(velp2p_console PROPERTIES INSTALL_RPATH "$ORIGIN/${VELP2P_BIN_TO_LIB}")
  install(TARGETS velp2p_console RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()

set(VELP2P_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velp2p)
get_target_property(VELP2P_LIBRARY_VERSION velp2p VERSION)
get_target_property(VELP2P_LIBRARY_SOVERSION velp2p SOVERSION)
set(VELP2P_LIBRARY_FILE libvelp2p.so.${VELP2P_LIBRARY_VERSION})
set(VELP2P_LIBRARY_SONAME libvelp2p.so.${VELP2P_LIBRARY_SOVERSION})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/velp2pConfig.cmake.in
  ${PROJECT_BINARY_DIR}/velp2pConfig.cmake
  INSTALL_DESTINATION ${VELP2P_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
# Before 1.0 a minor release may break the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/velp2pConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/velp2pConfig.cmake ${PROJECT_BINARY_DIR}/velp2pConfigVersion.cmake
  DESTINATION ${VELP2P_CMAKE_DIR} COMPONENT development)

file(RELATIVE_PATH VELP2P_PC_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
string(REGEX REPLACE "/$" "" VELP2P_PC_PREFIX "${VELP2P_PC_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/velp2p.pc.in ${PROJECT_BINARY_DIR}/velp2p.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velp2p.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
