# The Debian package: the host, its setup tool, the tap and the two
# stand-ins, with a manual page each, the copyright file and the changelog.
# Made from any native build folder by scripts/package, which builds the
# target ostrel_package_contents (what the packages hold, and nothing
# else) and runs cpack; by hand:
#   cmake -S . -B build-package -G Ninja -DOSTREL_SHIPPED_ONLY=ON
#   cmake --build build-package && (cd build-package && cpack -G DEB)
# gives build-package/ostrel-native-host_<version>_<arch>.deb. Built with
# OSTREL_CHROMIUM_ORIGINS or OSTREL_FIREFOX_EXTENSION_IDS, it carries the
# manifests for every browser with a system-wide folder as its own files,
# so installing it registers the host for every user; otherwise each user
# registers it with ostrel-native-host-setup install.

include(${CMAKE_CURRENT_LIST_DIR}/Registrations.cmake)

# What depends on the browsers the setup tool knows is made by its own code
# (tools/setup/package_files.h), in every build, so that the tests see it
# too: the removal script, and with ids the system-wide manifests, one per
# browser with such a folder, naming the host where the package puts it.
# The description marks them as the package's (package_manifest.h): the
# setup tool neither overwrites nor removes them, and the package manager
# removes them with the package.
set(OSTREL_POSTRM ${CMAKE_BINARY_DIR}/postrm)
set(_registrations ${CMAKE_BINARY_DIR}/registrations)
if(CMAKE_CROSSCOMPILING)
  # The programs of a cross-build cannot run here, and no package is made
  # from one.
  if(OSTREL_CHROMIUM_ORIGINS OR OSTREL_FIREFOX_EXTENSION_IDS)
    message(FATAL_ERROR "the ids of OSTREL_CHROMIUM_ORIGINS and OSTREL_FIREFOX_EXTENSION_IDS are "
                        "checked by running the setup tool's code, which a cross-build cannot")
  endif()
  add_custom_target(ostrel_package_files)
else()
  add_custom_command(OUTPUT ${OSTREL_POSTRM}
    COMMAND ostrel-package-files postrm ${PROJECT_SOURCE_DIR}/packaging/postrm.in ${OSTREL_POSTRM}
    DEPENDS ostrel-package-files ${PROJECT_SOURCE_DIR}/packaging/postrm.in VERBATIM)
  set(_packaged_host /usr/${CMAKE_INSTALL_BINDIR}/ostrel-native-host)
  ostrel_registration_arguments(_registration_arguments)
  # Rewritten only when the ids change, so that the manifests follow them.
  file(CONFIGURE OUTPUT ${_registrations}.ids CONTENT "${_registration_arguments}\n")
  add_custom_command(OUTPUT ${_registrations}.made
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${_registrations}
    COMMAND ostrel-package-files manifests ${_registrations} ${_packaged_host}
            ${_registration_arguments}
    COMMAND ${CMAKE_COMMAND} -E touch ${_registrations}.made
    DEPENDS ostrel-package-files ${_registrations}.ids VERBATIM)
  add_custom_target(ostrel_package_files ALL DEPENDS ${OSTREL_POSTRM} ${_registrations}.made)
endif()

# The manual pages are made by running the programs, which a cross-build
# cannot, from their --help with help2man, which a build of the shipped
# programs needs and any other build may go without (then it makes no
# package). cpack reads CPackConfig.cmake, written here to say why not.
find_program(OSTREL_HELP2MAN help2man)
set(_no_package "")
if(CMAKE_CROSSCOMPILING)
  set(_no_package "no package is made from a cross-build, whose programs cannot run here")
elseif(NOT OSTREL_HELP2MAN)
  set(_no_package "help2man writes the manual pages of the package: scripts/install-deps help2man")
  if(APPLE)
    set(_no_package "help2man writes the manual pages of the package: brew install help2man")
  endif()
endif()
if(_no_package)
  if(OSTREL_SHIPPED_ONLY)
    message(FATAL_ERROR "${_no_package}")
  endif()
  file(WRITE ${CMAKE_BINARY_DIR}/CPackConfig.cmake "message(FATAL_ERROR \"${_no_package}\")\n")
  add_custom_target(ostrel_package_contents
    COMMAND ${CMAKE_COMMAND} -E echo "error: ${_no_package}" COMMAND false VERBATIM)
  return()
endif()
# Targets built only on request never hold up `cmake --install` or cpack
# with a build of everything else first (the tests, in a developer's
# folder): scripts/package builds ostrel_package_contents before cpack.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/ostrel-native-host)
set(_man_dir ${CMAKE_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${_man_dir})

# The changelog's newest entry names the version being packaged.
file(STRINGS ${_packaging}/changelog _changelog_head LIMIT_COUNT 1)
if(NOT _changelog_head MATCHES "^ostrel-native-host \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog does not start with an entry for version "
                      "${PROJECT_VERSION}: ${_changelog_head}")
endif()

find_program(OSTREL_GZIP gzip REQUIRED)

set(_compressed "")
# Compresses `file` (in the build folder) into file.gz beside it; -n leaves
# out the name and time, so the same input always gives the same bytes.
function(ostrel_compress file)
  add_custom_command(OUTPUT ${file}.gz
    COMMAND ${OSTREL_GZIP} -9nkf ${file}
    DEPENDS ${file} VERBATIM)
  set(_compressed ${_compressed} ${file}.gz PARENT_SCOPE)
endfunction()

# The host takes no options, so its page is written by hand; what it does
# on open_app is filled in from this build's settings.
if(OSTREL_APP_COMMAND)
  set(_words "")
  foreach(_word IN LISTS OSTREL_APP_COMMAND)
    string(REPLACE "\\" "\\e" _word "${_word}")
    string(REPLACE "-" "\\-" _word "${_word}")
    list(APPEND _words "${_word}")
  endforeach()
  list(JOIN _words " " _words)
  set(APP_COMMAND_SENTENCE "runs\n.BR \"${_words}\" .")
else()
  set(APP_COMMAND_SENTENCE "does nothing, as this build has no application command.")
endif()
configure_file(${_packaging}/man/ostrel-native-host.1.in ${_man_dir}/ostrel-native-host.1 @ONLY)
ostrel_compress(${_man_dir}/ostrel-native-host.1)

# The other programs' pages are made from their --help.
function(ostrel_man_page target summary)
  set(page ${_man_dir}/${target}.1)
  add_custom_command(OUTPUT ${page}
    COMMAND ${OSTREL_HELP2MAN} --no-info --no-discard-stderr --section=1
            --name=${summary} --version-string=${PROJECT_VERSION}
            --include=${_packaging}/man/${target}.h2m --output=${page} $<TARGET_FILE:${target}>
    DEPENDS ${target} ${_packaging}/man/${target}.h2m VERBATIM)
  ostrel_compress(${page})
  set(_compressed ${_compressed} PARENT_SCOPE)
endfunction()
ostrel_man_page(ostrel-native-host-setup "register ostrel-native-host with web browsers")
ostrel_man_page(ostrel-standin-app "play the Ostrel application to try ostrel-native-host")
ostrel_man_page(ostrel-standin-browser "play the browser to try ostrel-native-host")
ostrel_man_page(ostrel-native-host-tap "watch every frame that passes through ostrel-native-host")

configure_file(${_packaging}/changelog ${CMAKE_BINARY_DIR}/changelog COPYONLY)
ostrel_compress(${CMAKE_BINARY_DIR}/changelog)
add_custom_target(ostrel_package_documents ALL DEPENDS ${_compressed})

foreach(_page ostrel-native-host ostrel-native-host-setup ostrel-standin-app
              ostrel-standin-browser ostrel-native-host-tap)
  install(FILES ${_man_dir}/${_page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(FILES ${_packaging}/copyright ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${_doc_dir})

if(OSTREL_CHROMIUM_ORIGINS OR OSTREL_FIREFOX_EXTENSION_IDS)
  # Installed where they lie below the folder: /etc/..., /usr/lib/...
  install(DIRECTORY ${_registrations}/ DESTINATION /)
  # Generated files the package owns, replaced and removed with it, not
  # settings for the administrator to edit: the ids are fixed when the
  # package is built.
  install(FILES ${_packaging}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME ostrel-native-host)
endif()

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "ostrel-native-host")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Ostrel")
set(CPACK_PACKAGE_CONTACT "Ostrel developers <developers@ostrel.invalid>")
# The first line is the summary; CPack indents the rest. No line is longer
# than 80 characters.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "link between the Ostrel browser extension and desktop application
ostrel-native-host is started by the browser on behalf of the Ostrel
extension and relays its messages to the Ostrel desktop application over a
Unix-domain socket, reconnecting when the application comes back.
.
ostrel-native-host-setup registers it with Chromium-family browsers and
Firefox, and diagnoses a registration. ostrel-native-host-tap, registered in
the host's place, logs every message that passes. The stand-ins
ostrel-standin-app and ostrel-standin-browser play either side of the host,
to try it by hand.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The library dependencies (libsimdjson, libstdc++) are read from the
# binaries by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${OSTREL_POSTRM})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(${CMAKE_CURRENT_LIST_DIR}/ApplicationSide.cmake)
include(CPack)

# Everything the two packages hold, and nothing else.
add_custom_target(ostrel_package_contents)
add_dependencies(ostrel_package_contents ${OSTREL_SHIPPED_PROGRAMS} ostrel_app ostrel_package_files
                 ostrel_package_documents ostrel_application_side_documents)
