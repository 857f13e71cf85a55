# Install rules, the CMake package, the pkg-config file and the Debian package.
include(CMakePackageConfigHelpers)

set(TZDAG_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TzDag)

install(TARGETS TzDagApi tzplatform
        EXPORT TzDagTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The platform's modules, which it loads from beside itself when needed.
install(TARGETS tzplatform-directory tzplatform-secrets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/tzplatform)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tzdag
                  ${PROJECT_SOURCE_DIR}/platform/include/tzplatform
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_BINARY_DIR}/include/tzdag/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tzdag)
install(EXPORT TzDagTargets NAMESPACE TzDag:: DESTINATION ${TZDAG_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TzDagConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/TzDagConfig.cmake
                              INSTALL_DESTINATION ${TZDAG_CMAKE_DIR})
# The SONAME changes with the major version, and so may the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TzDagConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TzDagConfig.cmake ${PROJECT_BINARY_DIR}/TzDagConfigVersion.cmake
        DESTINATION ${TZDAG_CMAKE_DIR})

# The pkg-config file names the prefix it is installed under, which is only
# known at install time.
configure_file(${CMAKE_CURRENT_LIST_DIR}/install-pc.cmake.in ${PROJECT_BINARY_DIR}/install-pc.cmake
               @ONLY)
install(SCRIPT ${PROJECT_BINARY_DIR}/install-pc.cmake)

if(TZDAG_BUILD_CLI)
  install(TARGETS tzdag pshim-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/demo/fixture.json
          DESTINATION ${CMAKE_INSTALL_DATADIR}/tzdag)
  install(FILES ${PROJECT_BINARY_DIR}/doc/tzdag.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_BINARY_DIR}/doc/tzdag.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME tzdag)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        FILES_MATCHING PATTERN "*.md")

# One Debian package with everything above (scripts/package). Its runtime
# dependencies come from the libraries and tools themselves (dpkg-shlibdeps);
# the headers add the JSON library's.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tzdag)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "libTzDagApi.so discovers Exchange Database Availability Groups, their member servers and "
    "mailbox databases for a backup product's management side. The package holds the library, "
    "its platform libtzplatform.so, their headers, CMake and pkg-config files, the tzdag tool "
    "and the pshim-sim discovery simulator.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGE_CONTACT "tzdag developers <tzdag@example.com>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "nlohmann-json3-dev")
# Installed with DESTDIR under the real prefix, so that files made at install
# time (tzdag.pc) name /usr, not the staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
