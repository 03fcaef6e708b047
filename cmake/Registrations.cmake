# The registrations a package can carry: the extension origins (Chromium
# family) and add-on ids (Firefox) allowed to start the host. Empty by
# default; then the package carries no manifest and each user registers the
# host with ostrel-native-host-setup. The build checks each value with the
# setup tool's own rules for --origin and --extension-id, and writes the
# manifests with its own code (ostrel-package-files, in
# cmake/Packaging.cmake): a bad value stops the build, naming it.

set(OSTREL_CHROMIUM_ORIGINS "" CACHE STRING
    "Extension origins (chrome-extension://<id>/, a CMake list) the packaged Chromium-family manifests allow")
set(OSTREL_FIREFOX_EXTENSION_IDS "" CACHE STRING
    "Add-on ids (a CMake list) the packaged Firefox manifest allows")

# Sets `result` to the arguments of ostrel-package-files manifests that
# name every value.
function(ostrel_registration_arguments result)
  set(arguments "")
  foreach(origin IN LISTS OSTREL_CHROMIUM_ORIGINS)
    list(APPEND arguments --origin "${origin}")
  endforeach()
  foreach(id IN LISTS OSTREL_FIREFOX_EXTENSION_IDS)
    list(APPEND arguments --extension-id "${id}")
  endforeach()
  set(${result} "${arguments}" PARENT_SCOPE)
endfunction()
