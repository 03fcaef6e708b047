# The registrations a package can carry: the extension origins (Chromium
# family) and add-on ids (Firefox) allowed to start the host. Empty by
# default; then the package carries no manifest and each user registers the
# host with ostrel-native-host-setup. Each value is checked by the same
# rules as the setup tool's --origin and --extension-id, when configuring.

set(OSTREL_CHROMIUM_ORIGINS "" CACHE STRING
    "Extension origins (chrome-extension://<id>/, a CMake list) the packaged Chromium-family manifests allow")
set(OSTREL_FIREFOX_EXTENSION_IDS "" CACHE STRING
    "Add-on ids (a CMake list) the packaged Firefox manifest allows")

# Sets `result` to "; did you mean <origin> ?" when `origin` holds an
# extension id somewhere (a missing slash, another scheme), else to "".
function(ostrel_origin_suggestion origin result)
  string(REPEAT "[a-p]" 32 id)
  string(REGEX MATCH "${id}" found "${origin}")
  if(found)
    set(${result} "; did you mean chrome-extension://${found}/ ?" PARENT_SCOPE)
  else()
    set(${result} "" PARENT_SCOPE)
  endif()
endfunction()

# Sets `result` to a sentence saying what is wrong with `origin`, or to "".
function(ostrel_origin_problem origin result)
  set(expected " must be chrome-extension://<32 letters a to p>/")
  # Chromium reads an id in either case, and "/*" as it reads "/".
  string(REPEAT "[a-pA-P]" 32 id)
  string(REGEX REPLACE "/\\*$" "/" shape "${origin}")
  string(LENGTH "${shape}" length)
  ostrel_origin_suggestion("${origin}" suggestion)
  if(NOT origin MATCHES "^chrome-extension://")
    set(problem "the origin \"${origin}\"${expected}${suggestion}")
  elseif(NOT shape MATCHES "^chrome-extension://[^/]*/$" OR NOT length EQUAL 52)
    set(problem "the origin \"${origin}\"${expected} (with the trailing slash)${suggestion}")
  elseif(NOT shape MATCHES "^chrome-extension://${id}/$")
    set(problem "the origin \"${origin}\"${expected}; extension ids use only a to p")
  else()
    set(problem "")
  endif()
  set(${result} "${problem}" PARENT_SCOPE)
endfunction()

# The same for a Firefox add-on id: a GUID in braces or "name@domain", at
# most 255 characters.
function(ostrel_extension_id_problem id result)
  set(x "[0-9a-fA-F]")
  string(REPEAT "${x}" 4 x4)
  string(REPEAT "${x}" 8 x8)
  string(REPEAT "${x}" 12 x12)
  string(LENGTH "${id}" length)
  set(problem "")
  if(length GREATER 255)
    set(problem "the Firefox extension id \"${id}\" is longer than 255 characters")
  elseif(NOT id MATCHES "^{${x8}-${x4}-${x4}-${x4}-${x12}}$"
         AND NOT id MATCHES "^[A-Za-z0-9._-]*@[A-Za-z0-9._-]+$")
    set(problem "the Firefox extension id \"${id}\" must be a GUID in braces or look like name@domain")
  endif()
  set(${result} "${problem}" PARENT_SCOPE)
endfunction()

# Stops the configuration at the first value that is not acceptable. A bare
# extension id stands for that extension's origin, as with --origin; sets
# OSTREL_PACKAGED_ORIGINS to the origins in full.
function(ostrel_check_registrations)
  string(REPEAT "[a-p]" 32 id)
  set(origins "")
  foreach(origin IN LISTS OSTREL_CHROMIUM_ORIGINS)
    if(origin MATCHES "^${id}$")
      set(origin "chrome-extension://${origin}/")
    endif()
    ostrel_origin_problem("${origin}" problem)
    if(problem)
      message(FATAL_ERROR "OSTREL_CHROMIUM_ORIGINS: ${problem}")
    endif()
    list(APPEND origins "${origin}")
  endforeach()
  set(OSTREL_PACKAGED_ORIGINS "${origins}" PARENT_SCOPE)
  foreach(id IN LISTS OSTREL_FIREFOX_EXTENSION_IDS)
    ostrel_extension_id_problem("${id}" problem)
    if(problem)
      message(FATAL_ERROR "OSTREL_FIREFOX_EXTENSION_IDS: ${problem}")
    endif()
  endforeach()
endfunction()
