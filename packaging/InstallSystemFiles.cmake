# Runs at install time, so that the service and its settings follow the
# prefix actually installed to (cmake --install --prefix, or the package's /usr).
# Set by the caller: DRAVANE_PACKAGING_SOURCE, DRAVANE_PACKAGING_BINARY, DRAVANE_BINDIR.

set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr")
    set(sysconfDir /etc)
    set(unitDir /lib/systemd/system)
else()
    set(sysconfDir ${prefix}/etc)
    set(unitDir ${prefix}/lib/systemd/system)
endif()

set(DRAVANE_INSTALL_BINDIR ${prefix}/${DRAVANE_BINDIR})
set(DRAVANE_INSTALL_SYSCONFDIR ${sysconfDir})
set(unit ${DRAVANE_PACKAGING_BINARY}/dravane-server.service)
configure_file(${DRAVANE_PACKAGING_SOURCE}/dravane-server.service.in ${unit} @ONLY)
# file(INSTALL) puts DESTDIR before an absolute destination itself.
file(INSTALL ${unit} DESTINATION ${unitDir})

# An existing settings file is the operator's: never replaced.
set(settings "$ENV{DESTDIR}${sysconfDir}/dravane/dravane.ini")
if(EXISTS "${settings}")
    message(STATUS "Kept: ${settings}")
else()
    file(INSTALL ${DRAVANE_PACKAGING_SOURCE}/dravane.ini DESTINATION ${sysconfDir}/dravane)
endif()
