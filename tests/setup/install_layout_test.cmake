# Installs the build into a scratch prefix and checks that every shipped
# program lands in bin/ and that the installed setup tool registers the
# installed host beside it by default.
#   cmake -DBUILD_DIR=... -DSCRATCH=... -P install_layout_test.cmake

file(REMOVE_RECURSE "${SCRATCH}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${SCRATCH}/usr"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(program ostrel-native-host ostrel-native-host-setup ostrel-standin-app
                ostrel-standin-browser ostrel-native-host-tap)
  if(NOT EXISTS "${SCRATCH}/usr/bin/${program}")
    message(FATAL_ERROR "${program} was not installed into bin/")
  endif()
endforeach()

set(origin "chrome-extension://abcdefghijklmnopabcdefghijklmnop/")
execute_process(COMMAND "${SCRATCH}/usr/bin/ostrel-native-host-setup" install
                        --user-data-dir "${SCRATCH}/profile" --origin "${origin}"
                RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the installed setup tool failed: ${errors}")
endif()
file(READ "${SCRATCH}/profile/NativeMessagingHosts/com.ostrel.native_host.json" manifest)
string(JSON path GET "${manifest}" path)
if(NOT path STREQUAL "${SCRATCH}/usr/bin/ostrel-native-host")
  message(FATAL_ERROR "the manifest names ${path}, not the installed host")
endif()
file(REMOVE_RECURSE "${SCRATCH}")
