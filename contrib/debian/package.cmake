# Installation layout and the Debian package (cpack -G DEB).
include(GNUInstallDirs)
set(VINTREL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/vintrel)

install(TARGETS vintrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual page, gzipped as Debian installs them.
set(MAN_GZ ${CMAKE_BINARY_DIR}/vintrel.1.gz)
add_custom_command(OUTPUT ${MAN_GZ}
                   COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/doc/vintrel.1 > ${MAN_GZ}
                   DEPENDS ${PROJECT_SOURCE_DIR}/doc/vintrel.1)
set(CHANGELOG_GZ ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${CHANGELOG_GZ}
                   COMMAND gzip -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/changelog > ${CHANGELOG_GZ}
                   DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog)
add_custom_target(compressed_docs ALL DEPENDS ${MAN_GZ} ${CHANGELOG_GZ})
install(FILES ${MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The periodic updater and the watching one, pointing at the binary where
# it is installed: the prefix is known only then (cpack installs under /usr).
set(UNIT_DIR ${CMAKE_BINARY_DIR}/systemd)
configure_file(${PROJECT_SOURCE_DIR}/contrib/systemd/vintrel-update@.timer ${UNIT_DIR}/vintrel-update@.timer COPYONLY)
set(VINTREL_INSTALLED_BINARY ${CMAKE_INSTALL_FULL_BINDIR}/vintrel)
foreach(unit vintrel-update@.service vintrel-watch@.service)
  set(UNIT_IN ${PROJECT_SOURCE_DIR}/contrib/systemd/${unit}.in)
  configure_file(${UNIT_IN} ${UNIT_DIR}/${unit} @ONLY)  # for the unit check
  install(CODE "
    set(VINTREL_INSTALLED_BINARY \${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/vintrel)
    configure_file(${UNIT_IN} ${UNIT_DIR}/installed/${unit} @ONLY)")
  install(FILES ${UNIT_DIR}/installed/${unit} DESTINATION lib/systemd/system)
endforeach()
install(FILES ${UNIT_DIR}/vintrel-update@.timer DESTINATION lib/systemd/system)

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/copyright
        DESTINATION ${VINTREL_DOC_DIR})
install(FILES ${CHANGELOG_GZ} DESTINATION ${VINTREL_DOC_DIR})

set(CPACK_PACKAGE_NAME vintrel)
set(CPACK_PACKAGE_VENDOR "vintrel developers")
set(CPACK_PACKAGE_CONTACT "vintrel developers <vintrel@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The watch service reloads with /bin/kill, which a minimal system lacks.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "procps")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small scriptable DNS client and dynamic-address updater")
# CPack indents each line by one space; "." separates paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A dependency-free command-line DNS client: it sends one query over UDP to a
name server, prints the reply's flags and every record as one line, and
exits with the reply code, which makes it easy to use from scripts.
.
It is also the client of a private dynamic-address service: it sends
authenticated updates that point a host name at the host's current
address. A systemd service keeps a name up to date by watching the
host's addresses; a timer template does it periodically instead.")
include(CPack)
