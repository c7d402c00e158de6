# The Debian package: `cpack -G DEB` in the build directory. The package holds
# what `cmake --install` puts under /usr.

set(HOOP_PACKAGE_MAINTAINER "Vexlume <support@vexlume.example>" CACHE STRING
    "Maintainer named in the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hoop-updater)
set(CPACK_PACKAGE_VENDOR Vexlume)
set(CPACK_PACKAGE_CONTACT "${HOOP_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Install new firmware on the Vexlume Hoop")
set(CPACK_PACKAGE_DESCRIPTION "Lists the firmware published on the update server, \
downloads the chosen image, checks its digest, restarts the hoop into its bootloader \
and programs it with the bundled dfu-programmer.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps reads the libraries of every program in the package, the
# bundled dfu-programmer included. libusb is named as well: the tool is a copy
# of a system binary and is useless without it, whatever shlibdeps makes of it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libcurl is loaded at run time, so dpkg-shlibdeps cannot see it; libsodium (the
# firmware list's signature) is linked, so it finds that one by itself.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libusb-1.0-0, libcurl4")

include(CPack)
