# What the application's side adds to the packages, included by
# cmake/Packaging.cmake before CPack: the checker's manual page in the
# host's package, and a second package, libostrel-app-dev, with the C
# library, its header, its pkg-config file and the example server's source.
# The two are CPack components: the host's files are the "Unspecified" one,
# the library's "dev".

ostrel_man_page(ostrel-app-check "check a desktop application against ostrel-native-host")
install(FILES ${_man_dir}/ostrel-app-check.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
add_custom_target(ostrel_application_side_documents ALL DEPENDS ${_man_dir}/ostrel-app-check.1.gz)
string(APPEND CPACK_DEBIAN_PACKAGE_DESCRIPTION "
.
ostrel-app-check runs, with the real host, the scenarios a desktop
application must survive, and says which of them it does not.")

# The library where Debian keeps a system's libraries, beside those of other
# architectures.
set(_dev_libdir ${CMAKE_INSTALL_LIBDIR})
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(_dev_libdir lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
set(_dev_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/libostrel-app-dev)
install(TARGETS ostrel_app
        ARCHIVE DESTINATION ${_dev_libdir} COMPONENT dev
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ostrel COMPONENT dev)
set(OSTREL_PC_PREFIX ${CPACK_PACKAGING_INSTALL_PREFIX})
set(OSTREL_PC_LIBDIR ${_dev_libdir})
configure_file(${PROJECT_SOURCE_DIR}/libostrel-app/ostrel-app.pc.in
               ${CMAKE_BINARY_DIR}/ostrel-app.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/ostrel-app.pc DESTINATION ${_dev_libdir}/pkgconfig
        COMPONENT dev)
install(FILES ${_packaging}/copyright ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${_dev_doc_dir}
        COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/examples/c_app/c_app.c DESTINATION ${_dev_doc_dir}/examples
        COMPONENT dev)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME "${CPACK_PACKAGE_NAME}")
set(CPACK_DEBIAN_UNSPECIFIED_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
# The removal script is the host's package's alone.
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_CONTROL_EXTRA "${CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA}")
unset(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME "libostrel-app-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION "libdevel")
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "C library for applications that ostrel-native-host connects to
libostrel-app gives a desktop application what it must get right to serve
ostrel-native-host: the socket path by the host's own rules, a safe listen
(a private folder, a stale socket replaced but never a live one or another
user's), accepting connections from processes of the same user only, and a
frame decoder and encoder with the 1 MiB limit. It has a C API, for C, C++,
Objective-C and Swift.
.
This package holds the static library, its header, a pkg-config file
(ostrel-app) and an example server.")
