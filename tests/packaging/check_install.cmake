cmake_minimum_required(VERSION 3.25)
# Stages `cmake --install` under STAGE with the prefix /usr, as a firmware or
# Debian package build does: once by default and once per component, and
# checks that everything lands where the init systems and the operator
# documentation expect it, and that the stand-in comes only when asked for.
set(agent usr/sbin/vtclient usr/sbin/vtclient-status usr/sbin/vtclient-checkconf etc/vtclient.cfg)
set(procd etc/init.d/vtclient etc/hotplug.d/iface/95-vtclient usr/libexec/rpcd/vtclient
    usr/share/rpcd/acl.d/vtclient.json)
set(systemd usr/lib/systemd/system/vtclient.service)
set(docs usr/share/doc/vtclient/README.md usr/share/doc/vtclient/configuration.md
    usr/share/doc/vtclient/files-and-signals.md usr/share/doc/vtclient/log.md
    usr/share/doc/vtclient/lab.md usr/share/doc/vtclient/security.md
    usr/share/doc/vtclient/attached.md usr/share/doc/vtclient/status-snapshot.md)
set(stand-in usr/bin/wget_https)
if(NOT HAVE_VTCLIENT)
  set(agent etc/vtclient.cfg)
endif()
if(NOT HAVE_WGET_HTTPS)
  set(stand-in "")
endif()
set(executables usr/sbin/vtclient usr/sbin/vtclient-status usr/sbin/vtclient-checkconf etc/init.d/vtclient
    usr/libexec/rpcd/vtclient usr/bin/wget_https)
# Tools the agent's program holds: links to it, never a second copy in flash.
set(links usr/sbin/vtclient-checkconf usr/sbin/vtclient-status)

# What each install gives: the default one every component but the stand-in.
set(installs default agent procd systemd docs stand-in)
set(expect_default ${agent} ${procd} ${systemd} ${docs})
foreach(component agent procd systemd docs stand-in)
  set(expect_${component} ${${component}})
endforeach()

foreach(install ${installs})
  set(stage "${STAGE}/${install}")
  file(REMOVE_RECURSE "${stage}")
  set(args --install ${BUILD_DIR} --prefix /usr)
  if(NOT install STREQUAL "default")
    list(APPEND args --component ${install})
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${stage} ${CMAKE_COMMAND} ${args}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake ${args} failed (${rc}):\n${out}\n${err}")
  endif()
  file(GLOB_RECURSE staged LIST_DIRECTORIES false RELATIVE "${stage}" "${stage}/*")
  list(SORT staged)
  set(expected ${expect_${install}})
  list(SORT expected)
  if(NOT "${staged}" STREQUAL "${expected}")
    message(FATAL_ERROR "install ${install}:\n  expected: ${expected}\n  staged:   ${staged}")
  endif()
  foreach(f ${staged})
    if(f IN_LIST executables)
      execute_process(COMMAND test -x "${stage}/${f}" RESULT_VARIABLE notexec)
      if(notexec)
        message(FATAL_ERROR "${f} is installed without execute permission")
      endif()
    endif()
    if(f IN_LIST links)
      if(NOT IS_SYMLINK "${stage}/${f}")
        message(FATAL_ERROR "${f} is installed as a file, not as a link to vtclient")
      endif()
      file(READ_SYMLINK "${stage}/${f}" target)
      if(NOT target STREQUAL "vtclient")
        message(FATAL_ERROR "${f} links to ${target}, not to vtclient")
      endif()
    endif()
  endforeach()
endforeach()

# The installed configuration is the sample itself, byte for byte.
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
                "${STAGE}/default/etc/vtclient.cfg" "${CMAKE_CURRENT_LIST_DIR}/../../etc/vtclient.cfg"
                RESULT_VARIABLE differs)
if(differs)
  message(FATAL_ERROR "installed /etc/vtclient.cfg differs from the sample")
endif()
message(STATUS "staged installs complete")
