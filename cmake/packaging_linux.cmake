# The Debian package of the Linux program, made by CPack from the install
# rules: `cmake --preset package && cmake --build --preset package &&
# cpack --preset package` gives build/package/teleora_<version>_<arch>.deb.
# Included by cmake/linux_app.cmake, so every install (also a plain
# `cmake --install`) lays out the manual page, the two documents Debian
# expects, the user's two documents (the README and the log's codes) and a
# sample Teleora.ini beside the program, its icons and its desktop files.

set(TELEORA_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging)

# Manual page and changelog compressed as Debian wants them: gzip -9, without
# the file's name and time stamp, so the same sources give the same bytes.
set(TELEORA_GZIPPED)
foreach(source teleora.1 debian/changelog)
    get_filename_component(name ${source} NAME)
    add_custom_command(
        OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${TELEORA_PACKAGING_DIR}/${source} ${name}
        COMMAND gzip -9nf ${name}
        DEPENDS ${TELEORA_PACKAGING_DIR}/${source}
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
        VERBATIM)
    list(APPEND TELEORA_GZIPPED ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
endforeach()
add_custom_target(teleora_documents ALL DEPENDS ${TELEORA_GZIPPED})

install(FILES ${CMAKE_CURRENT_BINARY_DIR}/teleora.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz ${TELEORA_PACKAGING_DIR}/debian/copyright
              ${CMAKE_CURRENT_LIST_DIR}/../README.md ${CMAKE_CURRENT_LIST_DIR}/../docs/log-codes.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/teleora)
# A sample settings file (the defaults and one example rule) for the user to
# copy into the working folder; the program never reads it from there.
install(FILES ${TELEORA_PACKAGING_DIR}/linux/Teleora.ini
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/teleora/examples)

# The package. Depends comes from dpkg-shlibdeps on the installed program
# (libc6, libstdc++6, libgcc-s1 and the Qt 6 libraries), plus
# qt6-qpa-plugins: Qt loads its X11/Wayland platform plugin at run time, so
# no library dependency names it, and without it the program cannot open a
# window (libqt6gui6 only recommends it).
#
# lintian (run by scripts/test-packages.sh) reports no error. The warnings it
# still gives, and why they stay, are listed in
# packaging/debian/lintian-expected; the script fails on any other warning.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME teleora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Teleora developers")
set(CPACK_PACKAGE_CONTACT "Teleora developers <teleora@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Every folder of the package is 0755 whatever the builder's umask: the
# install step is asked for it, and packaging_modes.cmake sets it on the
# staged folders (mkdir alone would narrow it by the umask). Files get their
# modes from the install rules.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/packaging_modes.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# NetworkManager holds the connections the program keeps; xdg-utils opens the
# log from the menu. Both are usual on a desktop, neither is needed to start.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "network-manager, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "tray utility that keeps one dial-up or VPN connection up or down\n\
A small icon in the desktop's tray that keeps one NetworkManager connection\n\
(VPN, WireGuard, PPPoE, mobile broadband, Bluetooth dial-up (DUN) or ADSL)\n\
always up, always down, left alone, or up only inside weekly time windows of\n\
up to ten named rules. It can also hang up every other dial-up connection,\n\
never touching wired or wireless networks or Bluetooth network links. Every\n\
dial and hang-up is written with its result to a plain text log. The menu\n\
and the dialog are in Italian.")
include(CPack)
