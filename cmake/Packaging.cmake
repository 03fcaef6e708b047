# Debian package of the host and its setup tool. After a build:
#   cmake --build build && (cd build && cpack -G DEB)
# gives build/ostrel-native-host_<version>_<arch>.deb, installing both
# programs into /usr/bin. Registering the host with a browser is left to
# the user (ostrel-native-host-setup install ...), since the extension's
# origin is not known when the package is built.

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "ostrel-native-host")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Ostrel")
set(CPACK_PACKAGE_CONTACT "Ostrel developers <developers@ostrel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Links a browser extension to the Ostrel desktop application")
set(CPACK_PACKAGE_DESCRIPTION
    "ostrel-native-host is started by the browser on behalf of the Ostrel extension and relays \
its messages to the Ostrel desktop application over a Unix-domain socket. \
ostrel-native-host-setup registers it with Chrome, Chromium, Edge, Brave, Vivaldi and Firefox \
and diagnoses a registration.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The library dependencies (libsimdjson, libstdc++) are read from the
# binaries by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
