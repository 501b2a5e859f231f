# What `cmake --install` puts on a machine, and the Debian package that
# `cpack -G DEB` makes of it in the build folder. The sample generator is a
# demonstration and test tool and stays out of both.
include(GNUInstallDirs)

install(TARGETS Kelvora_MYSQL kelvora-settings RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages, section 1. The build puts the project's version into them
# and gzips them (-n: no name or time stamp, so the same page always gives
# the same bytes), as Debian installs every manual page; man reads both.
set(KELVORA_MAN_PAGES Kelvora_MYSQL.1 kelvora-settings.1)
# The watcher's page.
list(APPEND KELVORA_MAN_PAGES kelvora-watch.1)
set(KELVORA_MAN_BUILD_DIR ${PROJECT_BINARY_DIR}/man)
find_program(GZIP_PROGRAM gzip)
set(KELVORA_MAN_OUTPUTS)
foreach(page ${KELVORA_MAN_PAGES})
  set(configured ${KELVORA_MAN_BUILD_DIR}/${page})
  configure_file(${PROJECT_SOURCE_DIR}/man/${page} ${configured} @ONLY)
  if(GZIP_PROGRAM)
    add_custom_command(OUTPUT ${configured}.gz
      COMMAND ${GZIP_PROGRAM} -9nkf ${configured}
      DEPENDS ${configured}
      COMMENT "Compressing manual page ${page}"
      VERBATIM)
    list(APPEND KELVORA_MAN_OUTPUTS ${configured}.gz)
    install(FILES ${configured}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES ${configured} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
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
  "authorization classes. kelvora-settings writes and checks its settings file.")
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
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libmariadb3, libstdc++6, libgcc-s1, libc6")
endif()
# kelvora-watch and its service. The unit goes where Debian 12 keeps the
# units of packages, not enabled; the configuration goes to /etc as a
# conffile, so that an edited one survives an upgrade; the maintainer
# scripts create the system user kelvora the service runs as, and tell
# systemd of the unit.
install(TARGETS kelvora-watch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/service/kelvora-watch.service DESTINATION /lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/service/watch.conf DESTINATION /etc/kelvora)
string(APPEND CPACK_PACKAGE_DESCRIPTION
  "\nkelvora-watch imports every file delivered into a drop folder, unattended,\n"
  "after checks that keep cut-off, empty and wrongly encoded files away.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/service/conffiles ${PROJECT_SOURCE_DIR}/service/postinst
  ${PROJECT_SOURCE_DIR}/service/prerm ${PROJECT_SOURCE_DIR}/service/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(CPACK_DEBIAN_PACKAGE_DEPENDS)
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", passwd")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS passwd)
endif()

include(CPack)
