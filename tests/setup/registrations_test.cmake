# The checks a build applies to OSTREL_CHROMIUM_ORIGINS and
# OSTREL_FIREFOX_EXTENSION_IDS say, for every value, what the setup tool
# says of the same value given as --origin or --extension-id.
#   cmake -DSETUP_TOOL=... -DSCRATCH=... -P registrations_test.cmake

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/Registrations.cmake)

set(origins
  "chrome-extension://abcdefghijklmnopabcdefghijklmnop/"
  "chrome-extension://abcdefghijklmnopabcdefghijklmnop"
  "chrome-extension://abcdefghijklmnopabcdefghijklmnopa/"
  "chrome-extension://abcdefghijklmnopabcdefghijklmnoq/"
  "chrome-extension://ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP/"
  "https://abcdefghijklmnopabcdefghijklmnop/"
  "chrome-extension:///"
  "abcdefghijklmnopabcdefghijklmnop"
  "chrome-extension://abcdefghijklmnopabcdefghijklmnop/extra/")
set(ids
  "ostrel@example.org" "@example.org" "ostrel@" "os trel@example.org" "a@b@c"
  "{12345678-9abc-def0-1234-56789ABCDEF0}" "{12345678-9abc-def0-1234-56789abcdef}"
  "12345678-9abc-def0-1234-56789abcdef0" "{12345678-9abc-def0-1234-56789abcdefg}")
string(REPEAT "a" 70 long)
list(APPEND ids "${long}@example.org" "${long}@ex.org")

# What the tool says: its sentence for a value it refuses, or "" when the
# value passes and the next check (the missing host) speaks instead.
function(tool_says option value result)
  if(option STREQUAL "--origin")
    set(where --user-data-dir "${SCRATCH}/profile")
  else()
    set(where --browser firefox)
  endif()
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env "HOME=${SCRATCH}"
                          "${SETUP_TOOL}" install ${where} ${option} "${value}"
                          --host-path /nonexistent/host
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE errors)
  # The tool names every fault, one a line; the value's comes first.
  string(REGEX REPLACE "^error: ([^\n]*)\n.*$" "\\1" sentence "${errors}")
  if(sentence MATCHES "^the host path ")
    set(sentence "")
  endif()
  set(${result} "${sentence}" PARENT_SCOPE)
endfunction()

set(failures "")
string(REPEAT "[a-p]" 32 bare_id)
foreach(origin IN LISTS origins)
  set(checked "${origin}")
  if(origin MATCHES "^${bare_id}$")
    set(checked "chrome-extension://${origin}/")
  endif()
  ostrel_origin_problem("${checked}" build)
  tool_says(--origin "${origin}" tool)
  if(NOT build STREQUAL tool)
    string(APPEND failures "\n${origin}:\n  build: '${build}'\n  tool:  '${tool}'")
  endif()
endforeach()
foreach(id IN LISTS ids)
  ostrel_extension_id_problem("${id}" build)
  tool_says(--extension-id "${id}" tool)
  if(NOT build STREQUAL tool)
    string(APPEND failures "\n${id}:\n  build: '${build}'\n  tool:  '${tool}'")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "the build and the setup tool disagree:${failures}")
endif()
