# Install layout of the agent, as firmware and Linux packages expect it, by
# component:
#
#   agent     <prefix>/sbin/vtclient                        the agent
#             <prefix>/sbin/vtclient-status                 status reader (a link to vtclient)
#             <prefix>/sbin/vtclient-checkconf              configuration checker (a link
#                                                           to vtclient, which it is a mode of)
#             <sysconfdir>/vtclient.cfg                     sample configuration, every key
#   procd     <sysconfdir>/init.d/vtclient                  procd service (OpenWrt)
#             <sysconfdir>/hotplug.d/iface/95-vtclient      WAN up/down hook
#             <prefix>/libexec/rpcd/vtclient                ubus call vtclient status (rpcd)
#             <prefix>/share/rpcd/acl.d/vtclient.json       its read access
#   systemd   <prefix>/lib/systemd/system/vtclient.service  systemd unit
#   docs      <prefix>/share/doc/vtclient/                  operator documentation
#   stand-in  <prefix>/bin/wget_https                       the HTTPS fetch-tool stand-in
#
# `cmake --install <build>` installs every component but the stand-in, which
# would take the place of the firmware's own fetch tool; it comes only when
# asked for by name: `cmake --install <build> --component stand-in`. Add
# `--strip` for a device: unstripped, the programs carry their symbol tables
# and debug information (a static build also its libraries'), several times
# their own size.
#
# <sysconfdir> is /etc for the prefixes /usr and /, else <prefix>/etc. It is
# worked out when installing, so that `cmake --install build --prefix /usr`
# with DESTDIR=stage gives stage/usr/sbin/vtclient and stage/etc/vtclient.cfg
# whatever prefix the build was configured with.
include(GNUInstallDirs)

option(VTCLIENT_INSTALL_PROCD_INIT "Install the procd service and hotplug hook" ON)
option(VTCLIENT_INSTALL_SYSTEMD_UNIT "Install the systemd unit" ON)
set(VTCLIENT_SYSTEMD_UNIT_DIR "lib/systemd/system"
    CACHE STRING "Where the systemd unit goes (relative to the prefix, or absolute)")
set(VTCLIENT_SYSCONFDIR ""
    CACHE STRING "Absolute directory of vtclient.cfg and init.d/ (empty: from the prefix)")

if(TARGET vtclient)
  install(TARGETS vtclient RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT agent)
  # The tools the agent's program holds: links to it, installed as links.
  foreach(link ${VTCLIENT_TOOL_LINKS})
    install(FILES $<TARGET_FILE_DIR:vtclient>/${link}
            DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT agent)
  endforeach()
endif()
if(TARGET wget_https)
  # A cross build may borrow the build machine's stand-in for its tests; that
  # one is not for the device.
  get_target_property(vt_wget_imported wget_https IMPORTED)
  if(NOT vt_wget_imported)
    install(TARGETS wget_https RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT stand-in EXCLUDE_FROM_ALL)
  endif()
endif()

set(vt_sysconfdir_code "
  set(vt_sysconfdir \"${VTCLIENT_SYSCONFDIR}\")
  if(NOT vt_sysconfdir)
    if(CMAKE_INSTALL_PREFIX MATCHES \"^/(usr/?)?$\")
      set(vt_sysconfdir /etc)
    else()
      set(vt_sysconfdir \"\${CMAKE_INSTALL_PREFIX}/etc\")
    endif()
  endif()")
# The sample is installed as the configuration itself; packages mark it as
# a configuration file so that an upgrade keeps the operator's edits.
install(CODE "${vt_sysconfdir_code}
  file(INSTALL DESTINATION \"\${vt_sysconfdir}\" TYPE FILE
       FILES \"${PROJECT_SOURCE_DIR}/etc/vtclient.cfg\")" COMPONENT agent)

if(VTCLIENT_INSTALL_PROCD_INIT)
  install(CODE "${vt_sysconfdir_code}
  file(INSTALL DESTINATION \"\${vt_sysconfdir}/init.d\" TYPE PROGRAM
       RENAME vtclient FILES \"${PROJECT_SOURCE_DIR}/packaging/openwrt/vtclient.init\")
  file(INSTALL DESTINATION \"\${vt_sysconfdir}/hotplug.d/iface\" TYPE FILE
       RENAME 95-vtclient FILES \"${PROJECT_SOURCE_DIR}/packaging/openwrt/vtclient.hotplug\")"
          COMPONENT procd)
  # ubus call vtclient status (rpcd) and the read access it needs.
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/openwrt/vtclient.rpcd
          DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/rpcd RENAME vtclient COMPONENT procd)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/openwrt/vtclient-acl.json
          DESTINATION ${CMAKE_INSTALL_DATADIR}/rpcd/acl.d RENAME vtclient.json COMPONENT procd)
endif()

if(VTCLIENT_INSTALL_SYSTEMD_UNIT)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/vtclient.service
          DESTINATION ${VTCLIENT_SYSTEMD_UNIT_DIR} COMPONENT systemd)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT docs)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT docs
        FILES_MATCHING PATTERN "*.md")
