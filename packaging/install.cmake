# What `cmake --install` puts where, and the Debian package CPack builds
# from it (`cpack -G DEB` in the build directory).
include(GNUInstallDirs)

install(TARGETS trellick-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TRELLICK_GUI)
  install(TARGETS trellick RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/trellick.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/trellick.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# Manual pages made from the programs' own help, shell completion, and the
# documentation Debian asks of every package. The pages need the programs to
# run here, so a cross-build goes without them.
set(TRELLICK_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/trellick)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${TRELLICK_DOC_DIR})
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.Debian.gz
  COMMAND gzip -9n -c ${CMAKE_CURRENT_LIST_DIR}/changelog.Debian > ${CMAKE_BINARY_DIR}/changelog.Debian.gz
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog.Debian VERBATIM)
set(TRELLICK_PACKAGE_DOCS ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.Debian.gz DESTINATION ${TRELLICK_DOC_DIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/completion/trellick-cli.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME trellick-cli)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/completion/_trellick-cli
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)

find_program(HELP2MAN help2man)
if(HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
  set(trellick_pages trellick-cli)
  if(TRELLICK_GUI)
    list(APPEND trellick_pages trellick)
  endif()
  set(name_trellick-cli "find and replace a text in every table of a database, from the command line")
  set(name_trellick "find and replace a text in every table of a database, in a window")
  foreach(program ${trellick_pages})
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen
        ${HELP2MAN} --no-info --section=1 --name=${name_${program}}
        --include=${CMAKE_CURRENT_LIST_DIR}/${program}.h2m --output=${page} $<TARGET_FILE:${program}>
      COMMAND gzip -9nf ${page}
      DEPENDS ${program} ${CMAKE_CURRENT_LIST_DIR}/${program}.h2m VERBATIM)
    list(APPEND TRELLICK_PACKAGE_DOCS ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
endif()
add_custom_target(package_docs ALL DEPENDS ${TRELLICK_PACKAGE_DOCS})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trellick)
set(CPACK_PACKAGE_VENDOR "Trellick")
set(CPACK_PACKAGE_CONTACT "Trellick maintainers <trellick@trellick.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "find and replace a text in every table of a database")
set(CPACK_PACKAGE_DESCRIPTION
  "Trellick finds a text in the text columns of every table of a SQL Server,\n\
SQLite, PostgreSQL or MariaDB database and replaces it, one update statement\n\
per table, from a window (trellick) or the command line (trellick-cli).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The Debian revision of the package (the changelog's version names it).
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs link come from dpkg-shlibdeps; what they load
# at run time is named here: the ODBC driver manager's set-up, Qt's
# platform plugins (the window cannot open without one), and the drivers
# of the engines an operator may meet.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TRELLICK_GUI)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "unixodbc, qt6-qpa-plugins")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "unixodbc")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
  "libsqliteodbc, tdsodbc, odbc-postgresql, odbc-mariadb, fonts-noto-cjk")
include(CPack)

# The package is built and checked as part of the test suite (a few
# seconds); scripts/check-package.sh does the same by hand. It checks the
# window too, so only the full build runs it.
if(TRELLICK_GUI)
  add_test(NAME package_deb
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/check-package.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(package_deb PROPERTIES TIMEOUT 600)
endif()

# Without a display the demo says so at once, before anything is built.
add_test(NAME run_demo_without_display
  COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY --unset=QT_QPA_PLATFORM
    ${CMAKE_CURRENT_LIST_DIR}/../scripts/run-demo.sh)
set_tests_properties(run_demo_without_display PROPERTIES
  TIMEOUT 10 PASS_REGULAR_EXPRESSION "Nothing was built or installed")
