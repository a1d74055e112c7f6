# Installs the public headers under include/vqstomp, the library, a CMake package
# (find_package(VQStomp) giving VQStomp::vqstomp) and a pkg-config file (vqstomp).
include(CMakePackageConfigHelpers)

set(VQSTOMP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VQStomp)

install(TARGETS vqstomp EXPORT VQStompTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${VQSTOMP_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vqstomp)
install(EXPORT VQStompTargets NAMESPACE VQStomp:: DESTINATION ${VQSTOMP_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VQStompConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VQStompConfig.cmake INSTALL_DESTINATION ${VQSTOMP_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VQStompConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VQStompConfig.cmake ${PROJECT_BINARY_DIR}/VQStompConfigVersion.cmake
  DESTINATION ${VQSTOMP_CMAKE_DIR})

# Relative to the .pc file, so that the installed tree can be moved or installed with --prefix.
file(RELATIVE_PATH VQSTOMP_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
set(VQSTOMP_PC_TLS_LIBS "")
if(VQSTOMP_WITH_TLS AND NOT BUILD_SHARED_LIBS)
  set(VQSTOMP_PC_TLS_LIBS -lssl -lcrypto)
endif()
string(JOIN " " VQSTOMP_PC_LIBS "-L\${libdir}" -lvqstomp ${VQSTOMP_PC_TLS_LIBS} -pthread ${VQSTOMP_RUNTIME_FLAGS})
configure_file(${CMAKE_CURRENT_LIST_DIR}/vqstomp.pc.in ${PROJECT_BINARY_DIR}/vqstomp.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vqstomp.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
