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

# Unattended runs (packaging/): the nightly timer and its service, the user
# it runs as, the log's logrotate rule, and an example of the settings file
# the service reads.
if(TZDAG_BUILD_CLI)
  # Under the prefix /usr the configuration goes to /etc, as GNUInstallDirs
  # says; under any other prefix it stays in the prefix, so that an install
  # into a scratch folder does not write to the machine's /etc.
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(TZDAG_SYSCONF_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR})
  else()
    set(TZDAG_SYSCONF_DIR ${CMAKE_INSTALL_SYSCONFDIR})
  endif()
  set(TZDAG_BINARY ${CMAKE_INSTALL_FULL_BINDIR}/tzdag)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/tzdag-sync.service.in
                 ${PROJECT_BINARY_DIR}/packaging/tzdag-sync.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/tzdag-sync.service
                ${PROJECT_SOURCE_DIR}/packaging/tzdag-sync.timer
          DESTINATION lib/systemd/system)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/tzdag.sysusers
          DESTINATION lib/sysusers.d RENAME tzdag.conf)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/tzdag.logrotate
          DESTINATION ${TZDAG_SYSCONF_DIR}/logrotate.d RENAME tzdag)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/tzdag.default
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples RENAME default-tzdag)
  # The package: the logrotate rule is the administrator's to change
  # (a conffile), and the user is made when the package is installed.
  set(TZDAG_CONFFILES ${PROJECT_BINARY_DIR}/packaging/conffiles)
  file(WRITE ${TZDAG_CONFFILES} "${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d/tzdag\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${TZDAG_CONFFILES}
                                         ${PROJECT_SOURCE_DIR}/packaging/postinst)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

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
# SQLite is loaded by the platform when a store is first opened, so that
# dpkg-shlibdeps does not see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsqlite3-0, nlohmann-json3-dev")
# Installed with DESTDIR under the real prefix, so that files made at install
# time (tzdag.pc) name /usr, not the staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
