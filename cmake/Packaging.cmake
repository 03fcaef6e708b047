# The Debian package: the host, its setup tool and the two stand-ins, with a
# manual page each, the copyright file and the changelog. Built from a
# build of only the shipped programs:
#   scripts/package        (or by hand:)
#   cmake -S . -B build-package -G Ninja -DOSTREL_SHIPPED_ONLY=ON
#   cmake --build build-package && (cd build-package && cpack -G DEB)
# gives build-package/ostrel-native-host_<version>_<arch>.deb. Built with
# OSTREL_CHROMIUM_ORIGINS or OSTREL_FIREFOX_EXTENSION_IDS, it carries the
# manifests for every browser with a system-wide folder as its own files,
# so installing it registers the host for every user; otherwise each user
# registers it with ostrel-native-host-setup install.

include(${CMAKE_CURRENT_LIST_DIR}/Registrations.cmake)
ostrel_check_registrations()

if(NOT OSTREL_SHIPPED_ONLY)
  # cpack reads this file. A package of this build would lack the manual
  # pages, which only a build of the shipped programs makes.
  file(WRITE ${CMAKE_BINARY_DIR}/CPackConfig.cmake
       "message(FATAL_ERROR \"Packages are built from a build configured with "
       "-DOSTREL_SHIPPED_ONLY=ON: run scripts/package\")\n")
  return()
endif()

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
find_program(OSTREL_HELP2MAN help2man)
if(NOT OSTREL_HELP2MAN)
  message(FATAL_ERROR "help2man writes the manual pages of the package: "
                      "scripts/install-deps help2man")
endif()
if(CMAKE_CROSSCOMPILING)
  message(FATAL_ERROR "the manual pages are made by running the built programs, "
                      "which a cross-build cannot")
endif()

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

# The system-wide manifests, one per browser folder known on Linux (the same
# folders ostrel-native-host-setup install --system writes to), naming the
# host where the package puts it. The description marks them as the
# package's (tools/setup/package_manifest.h): the setup tool neither
# overwrites nor removes them, and the package manager removes them with
# the package.
set(_package_description
    "Ostrel native messaging host (installed by the ostrel-native-host package)")
set(_packaged_host /usr/${CMAKE_INSTALL_BINDIR}/ostrel-native-host)
set(_registrations ${CMAKE_BINARY_DIR}/registrations)
file(REMOVE_RECURSE ${_registrations})
# Writes one manifest allowing `allowed` (a list) under `member` into each
# of the folders that follow.
function(ostrel_package_manifest member allowed)
  set(entries "")
  foreach(value IN LISTS allowed)
    list(APPEND entries "\n    \"${value}\"")
  endforeach()
  list(JOIN entries "," entries)
  string(CONCAT text "{\n  \"name\": \"com.ostrel.native_host\",\n"
                "  \"description\": \"${_package_description}\",\n"
                "  \"path\": \"${_packaged_host}\",\n  \"type\": \"stdio\",\n"
                "  \"${member}\": [${entries}\n  ]\n}\n")
  foreach(folder IN LISTS ARGN)
    string(MAKE_C_IDENTIFIER "${folder}" staged)
    file(WRITE ${_registrations}/${staged}/com.ostrel.native_host.json "${text}")
    install(FILES ${_registrations}/${staged}/com.ostrel.native_host.json DESTINATION ${folder})
  endforeach()
endfunction()
if(OSTREL_CHROMIUM_ORIGINS)
  ostrel_package_manifest(allowed_origins "${OSTREL_PACKAGED_ORIGINS}"
    /etc/opt/chrome/native-messaging-hosts /etc/chromium/native-messaging-hosts
    /etc/opt/edge/native-messaging-hosts)
endif()
if(OSTREL_FIREFOX_EXTENSION_IDS)
  ostrel_package_manifest(allowed_extensions "${OSTREL_FIREFOX_EXTENSION_IDS}"
    /usr/lib/mozilla/native-messaging-hosts)
endif()
if(OSTREL_CHROMIUM_ORIGINS OR OSTREL_FIREFOX_EXTENSION_IDS)
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
ostrel-native-host-setup registers it with Chrome, Chromium, Edge, Brave,
Vivaldi and Firefox, and diagnoses a registration. The stand-ins
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
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_packaging}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(${CMAKE_CURRENT_LIST_DIR}/ApplicationSide.cmake)
include(CPack)
