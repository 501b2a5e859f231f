# What `cmake --install` puts on a machine, and the Debian package that
# `cpack -G DEB` makes of it in the build folder: the importer, the check,
# the settings tool and the sample generator (which also prints the record
# layouts), the reference schema and the journal table's definition, an
# example option file and the manual pages.
include(GNUInstallDirs)

install(TARGETS Kelvora_MYSQL kelvora-check kelvora-settings kelvora-samples kelvora-journal
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The reference schema, with a header that says what it is for, and beside
# it the table of the runs' journal (KELVORA_JOURNAL).
install(FILES ${PROJECT_SOURCE_DIR}/sql/schema.sql ${PROJECT_SOURCE_DIR}/sql/journal.sql
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/kelvora)

# Files in /etc are the site's once installed: the package marks them as
# configuration files, so that an edited one survives an upgrade. The option
# file is read from /etc/kelvora whatever the prefix; the package carries a
# commented example of it there.
set(KELVORA_CONFFILES /etc/kelvora/client.cnf.example /etc/kelvora/watch.conf)
install(FILES ${PROJECT_SOURCE_DIR}/sql/client.cnf.example DESTINATION /etc/kelvora)
string(REPLACE ";" "\n" KELVORA_CONFFILES_TEXT "${KELVORA_CONFFILES}")
file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "${KELVORA_CONFFILES_TEXT}\n")

# Manual pages. The build puts the project's version into them and gzips
# them (-n: no name or time stamp, so the same page always gives the same
# bytes), as Debian installs every manual page; man reads both. Section 5,
# the record layouts, is written by the build from the members' own
# layout descriptions (tools/kelvora_files_page.cpp).
set(KELVORA_MAN_PAGES Kelvora_MYSQL.1 kelvora-check.1 kelvora-settings.1 kelvora-watch.1 kelvora-journal.1
    kelvora-samples.1)
set(KELVORA_MAN_BUILD_DIR ${PROJECT_BINARY_DIR}/man)
set(KELVORA_FILES_PAGE ${KELVORA_MAN_BUILD_DIR}/kelvora-files.5)
find_program(GZIP_PROGRAM gzip)
set(KELVORA_MAN_OUTPUTS ${KELVORA_FILES_PAGE})

# Installs one built page in the section its name ends with, gzipped when
# gzip is there.
function(kelvora_install_man_page built)
  string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section ${built})
  get_filename_component(page ${built} NAME)
  if(GZIP_PROGRAM)
    add_custom_command(OUTPUT ${built}.gz
      COMMAND ${GZIP_PROGRAM} -9nkf ${built}
      DEPENDS ${built}
      COMMENT "Compressing manual page ${page}"
      VERBATIM)
    set(KELVORA_MAN_OUTPUTS ${KELVORA_MAN_OUTPUTS} ${built}.gz PARENT_SCOPE)
    install(FILES ${built}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  else()
    install(FILES ${built} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endif()
endfunction()

foreach(page ${KELVORA_MAN_PAGES})
  configure_file(${PROJECT_SOURCE_DIR}/man/${page} ${KELVORA_MAN_BUILD_DIR}/${page} @ONLY)
  kelvora_install_man_page(${KELVORA_MAN_BUILD_DIR}/${page})
endforeach()
add_custom_command(OUTPUT ${KELVORA_FILES_PAGE}
  COMMAND kelvora-files-page ${KELVORA_FILES_PAGE}
  DEPENDS kelvora-files-page
  COMMENT "Writing manual page kelvora-files.5 from the record layouts"
  VERBATIM)
kelvora_install_man_page(${KELVORA_FILES_PAGE})
add_custom_target(man_pages ALL DEPENDS ${KELVORA_MAN_OUTPUTS})

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kelvora)

# The Debian package: kelvora_<version>_<architecture>.deb, installing under
# /usr. The dependencies come from dpkg-shlibdeps, which names the package
# of the client library (libmariadb3 on Debian 12) and of the C++ runtime;
# without it they are stated here.
set(KELVORA_PACKAGE_MAINTAINER "Kelvora maintainers <kelvora@localhost>"
  CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_NAME kelvora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch importer of fixed-width interface files into MariaDB/MySQL")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Kelvora_MYSQL imports one fixed-width interface file per run into the tables\n"
  "of the database RURUVURO: terminal assignments, holidays, employee status and\n"
  "details, function codes, clients, identities, balances, cost centres and\n"
  "authorization classes. kelvora-check shows what a run would do and rolls it\n"
  "back; kelvora-settings writes and checks its settings file and the login's\n"
  "rights; kelvora-samples writes sample files and prints the record layouts.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KELVORA_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(DPKG_SHLIBDEPS_PROGRAM dpkg-shlibdeps)
if(DPKG_SHLIBDEPS_PROGRAM)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libmariadb3, libssl3, libsystemd0, libstdc++6, libgcc-s1, libc6")
endif()
# kelvora-watch and its service. The unit goes where Debian 12 keeps the
# units of packages, not enabled; the configuration goes to /etc as a
# configuration file (above); the maintainer scripts create the system user
# kelvora the service runs as, and tell systemd of the unit.
install(TARGETS kelvora-watch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/service/kelvora-watch.service ${PROJECT_SOURCE_DIR}/service/kelvora-watch-once.service
  ${PROJECT_SOURCE_DIR}/service/kelvora-watch-once.timer DESTINATION /lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/service/watch.conf DESTINATION /etc/kelvora)
# Alerting rules for Prometheus on the watcher's metrics, with their tests
# beside them (promtool test rules finds the rules next to the tests), and
# a Grafana dashboard of the same metrics; a site loads them from where
# they are installed.
install(FILES ${PROJECT_SOURCE_DIR}/monitoring/kelvora-watch.rules.yml
  ${PROJECT_SOURCE_DIR}/monitoring/kelvora-watch.rules.test.yml
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/kelvora/prometheus)
install(FILES ${PROJECT_SOURCE_DIR}/monitoring/kelvora-watch.json DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/kelvora/grafana)
string(APPEND CPACK_PACKAGE_DESCRIPTION
  "\nkelvora-watch imports every file delivered into a drop folder, unattended,\n"
  "after checks that keep cut-off, empty and wrongly encoded files away.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_BINARY_DIR}/debian/conffiles ${PROJECT_SOURCE_DIR}/service/postinst
  ${PROJECT_SOURCE_DIR}/service/prerm ${PROJECT_SOURCE_DIR}/service/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(CPACK_DEBIAN_PACKAGE_DEPENDS)
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", passwd")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS passwd)
endif()

include(CPack)
