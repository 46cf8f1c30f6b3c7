# Installation layout and the Debian package (CPack). `cmake --install` and the package lay out the same tree:
#   bin/kestrum                       the server, headless
#   /etc/kestrum/                     configuration: config.ini, mod/, ssl-cert/ (conffiles in the package)
#   /var/lib/kestrum/                 run directory: config.ini, mod, ssl-cert link to /etc/kestrum, log to /var/log
#   /var/log/kestrum/                 one log file per run
#   /lib/systemd/system/kestrum.service
# With the default prefix /usr, the configuration and state directories are /etc and /var (GNUInstallDirs); any
# other prefix keeps everything under it.
include(GNUInstallDirs)

# Installing and packaging build what they install (scripts/package.sh names the targets), not the whole tree.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(KESTRUM_CONF_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/kestrum")
set(KESTRUM_STATE_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/kestrum")
set(KESTRUM_LOG_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/kestrum")
set(KESTRUM_DOC_DIR "${CMAKE_INSTALL_FULL_DATAROOTDIR}/doc/kestrum")
set(KESTRUM_SHARE_DIR "${CMAKE_INSTALL_FULL_DATADIR}/kestrum")
set(KESTRUM_BINARY "${CMAKE_INSTALL_FULL_BINDIR}/kestrum")
if(NOT KESTRUM_SYSTEMD_UNIT_DIR)  # may be given with -D
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(KESTRUM_SYSTEMD_UNIT_DIR "/lib/systemd/system")
  else()
    set(KESTRUM_SYSTEMD_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
  endif()
endif()

set(packaging_out "${PROJECT_BINARY_DIR}/packaging")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kestrum.service.in ${packaging_out}/kestrum.service @ONLY)
foreach(script postinst prerm postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in ${packaging_out}/debian/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                 WORLD_EXECUTE)
endforeach()

# The installed server is always the headless build. A tree that builds the desktop window also builds
# headless/kestrum (the same main without the window, one more compile and link), so that installing and packaging
# need no second tree.
if(KESTRUM_UI)
  add_executable(kestrum_headless ${PROJECT_SOURCE_DIR}/src/main.cpp)
  target_link_libraries(kestrum_headless PRIVATE kestrum_core)
  set_target_properties(kestrum_headless PROPERTIES OUTPUT_NAME kestrum
                        RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/headless)
  install(TARGETS kestrum_headless RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
  install(TARGETS kestrum RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The neutral sample configuration of packaging/sample (every module off, loopback only, no credentials, no
# task; the demo keeps its own in scripts/rundir); readable by root and (group, set by postinst) the service only.
set(private_dir_permissions OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/packaging/sample/ DESTINATION ${KESTRUM_CONF_DIR}
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ DIRECTORY_PERMISSIONS ${private_dir_permissions})
install(DIRECTORY DESTINATION ${KESTRUM_CONF_DIR}/ssl-cert DIRECTORY_PERMISSIONS ${private_dir_permissions})
install(DIRECTORY DESTINATION ${KESTRUM_CONF_DIR}/mod/crontab/tasks DIRECTORY_PERMISSIONS ${private_dir_permissions})
install(DIRECTORY DESTINATION ${KESTRUM_LOG_DIR} DIRECTORY_PERMISSIONS ${private_dir_permissions})
install(DIRECTORY DESTINATION ${KESTRUM_STATE_DIR} DIRECTORY_PERMISSIONS ${private_dir_permissions})
install(CODE "
  set(state \"\$ENV{DESTDIR}${KESTRUM_STATE_DIR}\")
  foreach(name config.ini mod ssl-cert)
    file(CREATE_LINK \"${KESTRUM_CONF_DIR}/\${name}\" \"\${state}/\${name}\" SYMBOLIC)
  endforeach()
  file(CREATE_LINK \"${KESTRUM_LOG_DIR}\" \"\${state}/log\" SYMBOLIC)
")
install(FILES ${packaging_out}/kestrum.service DESTINATION ${KESTRUM_SYSTEMD_UNIT_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${KESTRUM_DOC_DIR})
install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/gen-certs.sh DESTINATION ${KESTRUM_SHARE_DIR})

# Every file under the configuration directory is a conffile: dpkg keeps the operator's edits on upgrade.
file(GLOB_RECURSE sample_files RELATIVE ${PROJECT_SOURCE_DIR}/packaging/sample CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/packaging/sample/*)
list(SORT sample_files)
set(conffiles "")
foreach(file ${sample_files})
  string(APPEND conffiles "${KESTRUM_CONF_DIR}/${file}\n")
endforeach()
file(WRITE ${packaging_out}/debian/conffiles "${conffiles}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrum)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "kestrum developers <kestrum@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "middleware server: guarded HTTP/HTTPS API in front of MySQL, Redis and timed tasks")
set(CPACK_PACKAGE_DESCRIPTION
    "kestrum serves an HTTP and HTTPS API for trusted callers (IP whitelist, TLS with SNI)\n\
that runs SQL through a pool of held-open MySQL connections, reaches Redis through\n\
per-database connection sets, runs cron-like timed tasks, answers a heartbeat and\n\
echoes WebSocket messages. It runs as the systemd service kestrum.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${packaging_out}/debian/postinst ${packaging_out}/debian/prerm
                                       ${packaging_out}/debian/postrm ${packaging_out}/debian/conffiles)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
