# Stages `cmake --install` under STAGE with the prefix /usr, as a firmware or
# Debian package build does, and checks that everything lands where the init
# systems and the operator documentation expect it.
file(REMOVE_RECURSE "${STAGE}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${STAGE}
          ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}\n${err}")
endif()

set(expected
  etc/vtclient.cfg
  etc/init.d/vtclient
  usr/lib/systemd/system/vtclient.service
  usr/share/doc/vtclient/README.md
  usr/share/doc/vtclient/configuration.md
  usr/share/doc/vtclient/files-and-signals.md
  usr/share/doc/vtclient/log.md
  usr/share/doc/vtclient/lab.md)
set(executables etc/init.d/vtclient)
if(HAVE_VTCLIENT)
  list(APPEND expected usr/sbin/vtclient)
  list(APPEND executables usr/sbin/vtclient)
endif()
if(HAVE_WGET_HTTPS)
  list(APPEND expected usr/bin/wget_https)
  list(APPEND executables usr/bin/wget_https)
endif()

set(missing "")
foreach(f ${expected})
  if(NOT EXISTS "${STAGE}/${f}")
    list(APPEND missing ${f})
  endif()
endforeach()
if(missing)
  file(GLOB_RECURSE staged RELATIVE "${STAGE}" "${STAGE}/*")
  message(FATAL_ERROR "not installed: ${missing}\nstaged: ${staged}")
endif()

foreach(f ${executables})
  file(STRINGS "${STAGE}/${f}" dummy LIMIT_COUNT 1)
  execute_process(COMMAND test -x "${STAGE}/${f}" RESULT_VARIABLE notexec)
  if(notexec)
    message(FATAL_ERROR "${f} is installed without execute permission")
  endif()
endforeach()

# The installed configuration is the sample itself, byte for byte.
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
                "${STAGE}/etc/vtclient.cfg" "${CMAKE_CURRENT_LIST_DIR}/../../etc/vtclient.cfg"
                RESULT_VARIABLE differs)
if(differs)
  message(FATAL_ERROR "installed /etc/vtclient.cfg differs from the sample")
endif()
message(STATUS "staged install complete: ${expected}")
