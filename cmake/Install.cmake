# Installation: the public headers, libZEMATagAcs.so with the toolkit library it needs, the
# zematag tool with the example plant, a CMake package (find_package(ZEMATagAcs CONFIG) gives
# ZEMATagAcs::ZEMATagAcs) and a pkg-config file (zematagacs.pc).
include(CMakePackageConfigHelpers)

set(ZEMA_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZEMATagAcs)

install(FILES ${PROJECT_SOURCE_DIR}/include/ZEMATagAcs.h ${PROJECT_SOURCE_DIR}/include/oleauto.h
              ${PROJECT_SOURCE_DIR}/include/ZEMABatch.h
              ${PROJECT_SOURCE_DIR}/include/ZEMAGeneration.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)

# Callers link only libZEMATagAcs.so; the toolkit library is its run-time dependency.
install(TARGETS ZEMATagAcs EXPORT ZEMATagAcsTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
                NAMELINK_COMPONENT Development)
install(TARGETS Halvkit0101
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_SKIP)
set_target_properties(ZEMATagAcs PROPERTIES INSTALL_RPATH "$ORIGIN")
# The toolkit's language directory, empty until a product installs its function block library.
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_DATADIR}/Halvkit0101/nls COMPONENT Runtime)

if(TARGET zematag)
  install(TARGETS zematag RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tools)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/plant/
          DESTINATION ${CMAKE_INSTALL_DATADIR}/ZEMATagAcs/examples/plant COMPONENT Tools
          PATTERN "make_tags.py" EXCLUDE)
endif()

install(EXPORT ZEMATagAcsTargets NAMESPACE ZEMATagAcs:: DESTINATION ${ZEMA_CMAKE_PACKAGE_DIR}
        COMPONENT Development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ZEMATagAcsConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/ZEMATagAcsConfig.cmake
  INSTALL_DESTINATION ${ZEMA_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ZEMATagAcsConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ZEMATagAcsConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/ZEMATagAcsConfigVersion.cmake
        DESTINATION ${ZEMA_CMAKE_PACKAGE_DIR} COMPONENT Development)

# The pkg-config file finds the prefix from its own place, so an installed tree can be moved.
file(RELATIVE_PATH ZEMA_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" ZEMA_PC_TO_PREFIX "${ZEMA_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/zematagacs.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zematagacs.pc
               @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zematagacs.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
