# Installation rules and the Debian package (cpack -G DEB in the build tree).
#
# The package turns the backend into an ordinary Debian service: both executables in /usr/bin,
# the site configuration as a conffile in /etc/ota-backend, the systemd unit, and a state
# directory /var/lib/ota-backend that holds the topology file and, beside it, the upgrade history
# database. Tests and benchmarks have no install rules, so they never reach the package.

include_guard(GLOBAL)

set(OTA_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

foreach(executable ota-backend ota-device-sim)
    if(TARGET ${executable})
        install(TARGETS ${executable} RUNTIME DESTINATION bin COMPONENT runtime)
    endif()
endforeach()

# Fixed system locations: the unit and the maintainer scripts name them, whatever the prefix.
install(FILES ${OTA_PACKAGING_DIR}/ota-backend.json DESTINATION /etc/ota-backend COMPONENT runtime)
install(FILES ${OTA_PACKAGING_DIR}/debian/ota-backend.service DESTINATION /lib/systemd/system
    COMPONENT runtime)
# Shipped empty: postinst hands it to the service user; the topology file goes here.
install(DIRECTORY DESTINATION /var/lib/ota-backend COMPONENT runtime)
# What the package puts where, and how operators get their accounts.
install(FILES ${OTA_PACKAGING_DIR}/README.Debian DESTINATION share/doc/ota-backend COMPONENT runtime)
# The simulated example site, for a rehearsal with ota-device-sim before the real devices.
install(FILES ${PROJECT_SOURCE_DIR}/examples/topology/site.json
    DESTINATION share/doc/ota-backend/examples COMPONENT runtime)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ota-backend)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ota-backend developers")
set(CPACK_PACKAGE_CONTACT "ota-backend developers <ota-backend@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Over-the-air firmware upgrade backend of an energy-storage site")
set(CPACK_PACKAGE_DESCRIPTION
    "Long-running service on the site's operator machine: it keeps a TCP connection to every EMU,
PCS and BMS device of the site, plans and runs firmware upgrades on them and records every task
in a SQLite history, and serves the local operator interface through an HTTP/WebSocket API on a
loopback address. ota-device-sim simulates a whole site of devices for rehearsals.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# One package of the runtime component only: anything installed without it (a library's own
# install rule, a test helper) stays out of the package.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};runtime;/")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the executables link come from dpkg-shlibdeps (dpkg-dev); postinst needs
# adduser for the service user.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${OTA_PACKAGING_DIR}/debian/conffiles
    ${OTA_PACKAGING_DIR}/debian/postinst
    ${OTA_PACKAGING_DIR}/debian/prerm
    ${OTA_PACKAGING_DIR}/debian/postrm)

include(CPack)
