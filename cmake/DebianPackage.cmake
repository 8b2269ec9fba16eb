# `cpack -G DEB` in a Linux build folder makes kt-flash_VERSION_ARCH.deb of
# what `cmake --install` puts in place, under /usr. dpkg-shlibdeps works out
# the libraries it needs; Qt's platform plugins are loaded at run time, so
# they are named by hand.
set(CPACK_PACKAGE_NAME kt-flash)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}.0)
set(CPACK_PACKAGE_VENDOR "KT-FLASH")
set(CPACK_PACKAGE_CONTACT "KT-FLASH developers <kt-flash@telviks.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware update tool for the TELVIKS controller")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Updates the firmware of the TELVIKS controller over a serial port\n from a .kvf package: a window (kt-flash), a command-line tool for\n scripts and production lines (kt-flash-cli), a device simulator\n (kt-device-sim) and a package maker (kt-make-package).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion, qt6-translations-l10n")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
include(CPack)
