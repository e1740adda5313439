# What `make install` puts beside the program, and the Debian package (`make package`).

install(FILES ${CMAKE_SOURCE_DIR}/resources/stowkeep.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${CMAKE_SOURCE_DIR}/resources/stowkeep.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

# Desktops start what they find in the system's XDG autostart folder at login. It lies
# outside any prefix (/etc/xdg/autostart), since no desktop looks anywhere else.
set(STOWKEEP_AUTOSTART_DIR "/etc/xdg/autostart" CACHE PATH "XDG autostart folder")
install(FILES ${CMAKE_SOURCE_DIR}/resources/stowkeep.desktop
  DESTINATION ${STOWKEEP_AUTOSTART_DIR})

# The manual page, and what Debian asks of every package: the copyright and a changelog;
# the manual page and the changelog compressed, as Debian installs them.
foreach(text resources/stowkeep.1 packaging/changelog)
  get_filename_component(name ${text} NAME)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${name}.gz
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/${text} > ${CMAKE_BINARY_DIR}/${name}.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/${text})
  list(APPEND stowkeep_compressed ${CMAKE_BINARY_DIR}/${name}.gz)
endforeach()
add_custom_target(stowkeep_compressed_docs ALL DEPENDS ${stowkeep_compressed})
install(FILES ${CMAKE_BINARY_DIR}/stowkeep.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/stowkeep)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME stowkeep)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}.0)
set(CPACK_PACKAGE_CONTACT "Stowkeep <support@stowkeep.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Scheduled backups from the notification area")
set(CPACK_PACKAGE_DESCRIPTION "Stowkeep keeps named backup profiles and runs them on a schedule:
full or only new and modified files, compressed, encrypted with AES-256,
verified, old backups deleted. Every backup is a standard zip file.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://stowkeep.example.org)
# Libraries the program links come from dpkg-shlibdeps; the SVG plugin draws the icon and
# the platform plugins open the windows, both loaded at run time.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6, qt6-qpa-plugins")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/conffiles)
include(CPack)
