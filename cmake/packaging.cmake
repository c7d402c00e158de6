# The Debian package: `cpack -G DEB` in the build directory. The package holds
# what `cmake --install` puts under /usr.

set(HOOP_PACKAGE_MAINTAINER "Vexlume <support@vexlume.example>" CACHE STRING
    "Maintainer named in the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hoop-updater)
set(CPACK_PACKAGE_VENDOR Vexlume)
set(CPACK_PACKAGE_CONTACT "${HOOP_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Install new firmware on the Vexlume Hoop")
# Lines of at most 80 characters, as Debian's checker asks.
set(CPACK_PACKAGE_DESCRIPTION "Lists the firmware published on the update server, downloads
the chosen image, checks its digest, restarts the hoop into its bootloader and
programs it with dfu-programmer. The update server and the keys that sign its
firmware list may be set in /etc/hoop-updater/hoop-updater.conf.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Everything but the bundled DFU tool (the "bundled-tool" component): the
# package depends on Debian's dfu-programmer instead, whose 0.6.1 is the
# version whose output the driver's markers fit.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};Unspecified;/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libusb is loaded at run time, so dpkg-shlibdeps cannot see it; libcurl (linked
# by the fetching program, hoop-updater-fetch) and libsodium (the firmware
# list's signature) it finds by itself. Each package is named once.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libusb-1.0-0, dfu-programmer (>= 0.6.1)")

include(CPack)
