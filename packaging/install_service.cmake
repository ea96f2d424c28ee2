# Installs kivod's systemd unit and its options file with the paths of this install; run by
# cmake --install and by CPack, after KIVO_PACKAGING_SOURCE, KIVO_PACKAGING_BINARY and the
# programs' folders are set. A /usr install keeps the options in /etc, as Debian has them; any
# other prefix in <prefix>/etc, so that an install never writes outside its prefix.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(KIVO_SYSCONFDIR /etc)
else()
    set(KIVO_SYSCONFDIR ${CMAKE_INSTALL_PREFIX}/etc)
endif()
set(KIVO_BINDIR ${CMAKE_INSTALL_PREFIX}/${KIVO_INSTALL_BINDIR})
set(KIVO_SBINDIR ${CMAKE_INSTALL_PREFIX}/${KIVO_INSTALL_SBINDIR})
configure_file(${KIVO_PACKAGING_SOURCE}/systemd/kivod.service.in
               ${KIVO_PACKAGING_BINARY}/kivod.service @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
     FILES ${KIVO_PACKAGING_BINARY}/kivod.service)
file(INSTALL DESTINATION "${KIVO_SYSCONFDIR}/default" TYPE FILE
     RENAME kivod FILES ${KIVO_PACKAGING_SOURCE}/systemd/kivod.default)
