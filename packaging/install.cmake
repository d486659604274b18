# What `cmake --install` puts in place and how `cpack -G DEB` packages it:
# the program, its man page, a systemd unit and, for the package, the
# maintainer scripts that create the service's user.
include(GNUInstallDirs)

set(RELAYHUB_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "where the systemd unit goes, relative to the install prefix")

find_program(RELAYHUB_GZIP gzip REQUIRED)

# Debian wants man pages and changelogs compressed, without a time stamp so
# that two builds give the same bytes.
function(relayhub_gzip source target)
  add_custom_command(OUTPUT ${target}
    COMMAND ${RELAYHUB_GZIP} -9n -c ${source} > ${target}
    DEPENDS ${source} VERBATIM)
endfunction()

set(pack_dir ${CMAKE_CURRENT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${pack_dir})
relayhub_gzip(${CMAKE_CURRENT_SOURCE_DIR}/doc/relayhub.1 ${pack_dir}/relayhub.1.gz)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog ${pack_dir}/changelog @ONLY)
relayhub_gzip(${pack_dir}/changelog ${pack_dir}/changelog.gz)
add_custom_target(relayhub_docs ALL DEPENDS ${pack_dir}/relayhub.1.gz ${pack_dir}/changelog.gz)

install(TARGETS relayhub RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${pack_dir}/relayhub.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The unit names the program where this install puts it; the prefix is known
# only at install time (cpack installs under its own).
install(CODE "
  set(RELAYHUB_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/packaging/relayhub.service.in\"
                 \"${pack_dir}/relayhub.service\" @ONLY)
")
install(FILES ${pack_dir}/relayhub.service DESTINATION ${RELAYHUB_SYSTEMD_UNIT_DIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright ${pack_dir}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME relayhub)
set(CPACK_PACKAGE_VERSION ${RELAYHUB_VERSION})
set(CPACK_PACKAGE_CONTACT "relayhub developers <relayhub@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay hub for WebSocket, TCP and TLS clients on one port")
set(CPACK_PACKAGE_DESCRIPTION
  "relayhub listens on one TCP port, serves up to 32 clients at once and forwards
every packet one client sends to every other connected client. Raw TCP, TLS,
WebSocket and WebSocket over TLS clients mix freely; the hub terminates TLS
itself with one PEM file. The package runs it as a systemd service in
/etc/relayhub as the unprivileged user relayhub.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/prerm
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
