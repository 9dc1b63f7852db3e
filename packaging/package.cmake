# Install rules and the Debian packages (CPack's DEB generator, which needs only dpkg-deb and
# dpkg-shlibdeps): tarvo holds the daemon, the command-line tools and their libraries;
# tarvo-console the Qt console, so a headless server installs no Qt. scripts/package.sh builds
# both.
set(TARVO_PACKAGE_DIR ${PROJECT_SOURCE_DIR}/packaging)

# The programs find their private libraries in /usr/lib/tarvo, which no other package uses.
set(TARVO_PRIVATE_LIBRARY_DIR lib/tarvo)
set_target_properties(TarvoServer tarvoadm tarvostore tarvoctl tarvoclient TarvoConsole
                      PROPERTIES INSTALL_RPATH "$ORIGIN/../${TARVO_PRIVATE_LIBRARY_DIR}")

install(TARGETS TarvoServer RUNTIME DESTINATION sbin COMPONENT service)
install(TARGETS tarvoadm tarvostore tarvoctl tarvoclient RUNTIME DESTINATION bin COMPONENT service)
install(TARGETS Reader TarvoInstall LIBRARY DESTINATION ${TARVO_PRIVATE_LIBRARY_DIR}
        COMPONENT service)
install(TARGETS TarvoConsole RUNTIME DESTINATION bin COMPONENT console)
install(FILES ${TARVO_PACKAGE_DIR}/tarvo-vpn-server.service DESTINATION /lib/systemd/system
        COMPONENT service)
install(FILES ${TARVO_PACKAGE_DIR}/tarvo.logrotate DESTINATION /etc/logrotate.d RENAME tarvo
        COMPONENT service)
# The destination rules a new install starts with; postinst copies them into the home, where
# they are the administrator's to change (Debian keeps conffiles under /etc only).
install(FILES ${TARVO_PACKAGE_DIR}/tarvo-access.conf DESTINATION share/tarvo COMPONENT service)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/web/console/ DESTINATION share/tarvo/web COMPONENT service)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/SECURITY.md
        DESTINATION share/doc/tarvo COMPONENT service)

set(TARVO_COMPLETION ${PROJECT_SOURCE_DIR}/admin/tarvoadm/tarvoadm.bash-completion)
if(EXISTS ${TARVO_COMPLETION})
  install(FILES ${TARVO_COMPLETION} DESTINATION share/bash-completion/completions
          RENAME tarvoadm COMPONENT service)
endif()

# Manual pages: man/NAME.SECTION, installed gzip'd (without a time stamp, so a rebuild gives
# the same bytes) in their section's directory.
file(GLOB TARVO_MAN_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.[1-8])
set(TARVO_GZIPPED_MAN_PAGES)
foreach(page ${TARVO_MAN_PAGES})
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\.([1-8])$" "\\1" section ${name})
  set(gzipped ${CMAKE_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${gzipped}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                     COMMAND gzip -9n -c ${page} > ${gzipped}
                     DEPENDS ${page} VERBATIM)
  list(APPEND TARVO_GZIPPED_MAN_PAGES ${gzipped})
  set(component service)
  if(name MATCHES "^TarvoConsole\\.")
    set(component console)
  endif()
  install(FILES ${gzipped} DESTINATION share/man/man${section} COMPONENT ${component})
endforeach()
if(TARVO_GZIPPED_MAN_PAGES)
  add_custom_target(tarvo_man_pages ALL DEPENDS ${TARVO_GZIPPED_MAN_PAGES})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tarvo")
set(CPACK_PACKAGE_CONTACT "Tarvo maintainers <root@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL service console)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from dpkg-shlibdeps; the private libraries are found in the build.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME tarvo)
string(CONCAT CPACK_COMPONENT_SERVICE_DESCRIPTION
    "Encrypted tunnelling server\n"
    "TarvoServer relays the TCP connections, UDP datagrams and name look-ups of logged-in\n"
    "clients over AES-256 cipher records, counts each user's traffic against a limit and\n"
    "writes an audit log. The package runs it as the systemd service tarvo-vpn-server under\n"
    "the system user tarvo; members of the group tarvo administer it with tarvoadm.")
# The SQLite ODBC driver is the default user store; odbcinst and adduser serve the
# maintainer scripts, deb-systemd-helper comes with init-system-helpers.
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS
    "libsqliteodbc, odbcinst, adduser, init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_SERVICE_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_DEBIAN_SERVICE_PACKAGE_SUGGESTS "tarvo-console, odbc-postgresql")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    ${TARVO_PACKAGE_DIR}/debian/postinst ${TARVO_PACKAGE_DIR}/debian/prerm
    ${TARVO_PACKAGE_DIR}/debian/postrm ${TARVO_PACKAGE_DIR}/debian/conffiles)

set(CPACK_DEBIAN_CONSOLE_PACKAGE_NAME tarvo-console)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_SECTION admin)
string(CONCAT CPACK_COMPONENT_CONSOLE_DESCRIPTION
    "Graphical console for the Tarvo tunnelling server\n"
    "TarvoConsole shows and edits the users, settings and connected sessions of the Tarvo\n"
    "service running on the same machine, and charts each user's traffic and the service's\n"
    "throughput. Run it as root or as a member of the group tarvo.")
set(CPACK_DEBIAN_CONSOLE_PACKAGE_DEPENDS "tarvo (= ${PROJECT_VERSION})")

include(CPack)
