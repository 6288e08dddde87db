# Install layout of the agent, as firmware and Linux packages expect it:
#
#   <prefix>/sbin/vtclient                   the agent
#   <prefix>/bin/wget_https                  the HTTPS fetch-tool stand-in (found
#                                            through PATH, as on the device)
#   <sysconfdir>/vtclient.cfg                sample configuration, every key
#   <sysconfdir>/init.d/vtclient             procd service (OpenWrt)
#   <prefix>/lib/systemd/system/vtclient.service
#   <prefix>/share/doc/vtclient/             operator documentation
#
# With the usual prefix /usr, <sysconfdir> is /etc. Stage with
#   cmake --install build/release --prefix /usr ... or DESTDIR=stage cmake --install
include(GNUInstallDirs)

option(VTCLIENT_INSTALL_PROCD_INIT "Install the procd service to <sysconfdir>/init.d" ON)
option(VTCLIENT_INSTALL_SYSTEMD_UNIT "Install the systemd unit" ON)
set(VTCLIENT_SYSTEMD_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/system"
    CACHE PATH "Where the systemd unit is installed")

if(TARGET vtclient)
  install(TARGETS vtclient RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
endif()
if(TARGET wget_https)
  install(TARGETS wget_https RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The sample is installed as the configuration itself; packages mark it as a
# configuration file so that an upgrade keeps the operator's edits.
install(FILES ${PROJECT_SOURCE_DIR}/etc/vtclient.cfg
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR})

if(VTCLIENT_INSTALL_PROCD_INIT)
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/openwrt/vtclient.init
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d
          RENAME vtclient)
endif()
if(VTCLIENT_INSTALL_SYSTEMD_UNIT)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/vtclient.service
          DESTINATION ${VTCLIENT_SYSTEMD_UNIT_DIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/
        DESTINATION ${CMAKE_INSTALL_DOCDIR}
        FILES_MATCHING PATTERN "*.md")
