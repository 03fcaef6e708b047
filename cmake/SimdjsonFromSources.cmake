# simdjson built from its single-file release (simdjson.h and simdjson.cpp
# of one version, in OSTREL_SIMDJSON_SOURCE_DIR) into a static library
# named simdjson::simdjson, as find_package(simdjson) would name it. Every
# program then carries the parser, compiled against the header it was
# built with, and loads no library of a package manager: what a Mac bundle
# needs. scripts/cross-macos fetches and checks such sources.

foreach(_file simdjson.h simdjson.cpp)
  if(NOT EXISTS "${OSTREL_SIMDJSON_SOURCE_DIR}/${_file}")
    message(FATAL_ERROR "OSTREL_SIMDJSON_SOURCE_DIR (${OSTREL_SIMDJSON_SOURCE_DIR}) holds no ${_file}")
  endif()
endforeach()

add_library(ostrel_simdjson STATIC "${OSTREL_SIMDJSON_SOURCE_DIR}/simdjson.cpp")
# Its headers are another project's: their warnings are not ours to mend.
target_include_directories(ostrel_simdjson SYSTEM PUBLIC "${OSTREL_SIMDJSON_SOURCE_DIR}")
target_compile_options(ostrel_simdjson PRIVATE -w)
set_target_properties(ostrel_simdjson PROPERTIES COMPILE_WARNING_AS_ERROR OFF)
add_library(simdjson::simdjson ALIAS ostrel_simdjson)
