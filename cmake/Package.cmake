include(CMakePackageConfigHelpers)

set(MYSQLPROCESS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/MySqlProcess)

install(EXPORT MySqlProcessTargets NAMESPACE MySqlProcess:: DESTINATION ${MYSQLPROCESS_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/MySqlProcessConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/MySqlProcessConfig.cmake
  INSTALL_DESTINATION ${MYSQLPROCESS_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/MySqlProcessConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/MySqlProcessConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/MySqlProcessConfigVersion.cmake
  DESTINATION ${MYSQLPROCESS_CMAKE_DIR})

# The .pc file finds the prefix from where it lies, so that an install made
# with cmake --install --prefix (not the configured prefix) still names itself.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(MYSQLPROCESS_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _pc_to_prefix "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
  string(REGEX REPLACE "/$" "" _pc_to_prefix "${_pc_to_prefix}")
  set(MYSQLPROCESS_PC_PREFIX "\${pcfiledir}/${_pc_to_prefix}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/mysqlprocess.pc.in ${CMAKE_CURRENT_BINARY_DIR}/mysqlprocess.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/mysqlprocess.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
