# Install layout of the agent, as firmware and Linux packages expect it:
#
#   <prefix>/sbin/vtclient                       the agent
#   <prefix>/bin/wget_https                      the HTTPS fetch-tool stand-in
#                                                (found through PATH)
#   <sysconfdir>/vtclient.cfg                    sample configuration, every key
#   <sysconfdir>/init.d/vtclient                 procd service (OpenWrt)
#   <prefix>/lib/systemd/system/vtclient.service systemd unit
#   <prefix>/share/doc/vtclient/                 operator documentation
#
# <sysconfdir> is /etc for the prefixes /usr and /, else <prefix>/etc. It is
# worked out when installing, so that `cmake --install build --prefix /usr`
# with DESTDIR=stage gives stage/usr/sbin/vtclient and stage/etc/vtclient.cfg
# whatever prefix the build was configured with.
include(GNUInstallDirs)

option(VTCLIENT_INSTALL_PROCD_INIT "Install the procd service to <sysconfdir>/init.d" ON)
option(VTCLIENT_INSTALL_SYSTEMD_UNIT "Install the systemd unit" ON)
set(VTCLIENT_SYSTEMD_UNIT_DIR "lib/systemd/system"
    CACHE STRING "Where the systemd unit goes (relative to the prefix, or absolute)")
set(VTCLIENT_SYSCONFDIR ""
    CACHE STRING "Absolute directory of vtclient.cfg and init.d/ (empty: from the prefix)")

if(TARGET vtclient)
  install(TARGETS vtclient RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
endif()
if(TARGET wget_https)
  # A cross build may borrow the build machine's stand-in for its tests; that
  # one is not for the device.
  get_target_property(vt_wget_imported wget_https IMPORTED)
  if(NOT vt_wget_imported)
    install(TARGETS wget_https RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endif()

set(vt_install_procd "")
if(VTCLIENT_INSTALL_PROCD_INIT)
  set(vt_install_procd "
  file(INSTALL DESTINATION \"\${vt_sysconfdir}/init.d\" TYPE PROGRAM
       RENAME vtclient FILES \"${PROJECT_SOURCE_DIR}/packaging/openwrt/vtclient.init\")")
endif()
install(CODE "
  set(vt_sysconfdir \"${VTCLIENT_SYSCONFDIR}\")
  if(NOT vt_sysconfdir)
    if(CMAKE_INSTALL_PREFIX MATCHES \"^/(usr/?)?$\")
      set(vt_sysconfdir /etc)
    else()
      set(vt_sysconfdir \"\${CMAKE_INSTALL_PREFIX}/etc\")
    endif()
  endif()
  # The sample is installed as the configuration itself; packages mark it as
  # a configuration file so that an upgrade keeps the operator's edits.
  file(INSTALL DESTINATION \"\${vt_sysconfdir}\" TYPE FILE
       FILES \"${PROJECT_SOURCE_DIR}/etc/vtclient.cfg\")${vt_install_procd}
")

if(VTCLIENT_INSTALL_SYSTEMD_UNIT)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/vtclient.service
          DESTINATION ${VTCLIENT_SYSTEMD_UNIT_DIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/
        DESTINATION ${CMAKE_INSTALL_DOCDIR}
        FILES_MATCHING PATTERN "*.md")
