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
  set_tests_properties(package_deb PROPERTIES TIMEOUT 120)
endif()
