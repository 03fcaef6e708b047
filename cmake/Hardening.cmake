# The usual hardening for every program of the build: stack protector,
# position-independent executables, and on ELF systems full RELRO (relro
# with immediate binding). _FORTIFY_SOURCE needs optimisation, so Debug
# builds go without it; sanitizer builds go without all of it, whose
# run-time checks it would only get in the way of.

if(OSTREL_SANITIZE)
  return()
endif()

include(CheckPIESupported)
check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong
                    "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>"
                    "$<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>")
if(NOT APPLE)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
