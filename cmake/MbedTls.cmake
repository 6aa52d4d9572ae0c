# The static mbed TLS libraries, built for this build's compiler and flags by scripts/mbedtls.sh
# from Debian's source package (cached; built again only when something that goes into them
# changed). Gives the INTERFACE targets cg_mbedcrypto (cipher, digest, Base64) and cg_mbedtls (the
# TLS client of the upload, the log simulator's TLS server).
#
# CARDGATE_MBEDTLS_C_FLAGS: flags beyond CMAKE_C_FLAGS and those of the build type (the
# sanitizers' instrumentation), set before this file is included.
string(TOUPPER "${CMAKE_BUILD_TYPE}" cardgate_build_type)
set(cardgate_mbedtls_flags
    "${CMAKE_C_FLAGS} ${CMAKE_C_FLAGS_${cardgate_build_type}} ${CARDGATE_MBEDTLS_C_FLAGS}")
string(REGEX REPLACE " +" " " cardgate_mbedtls_flags "${cardgate_mbedtls_flags}")
string(STRIP "${cardgate_mbedtls_flags}" cardgate_mbedtls_flags)
set(cardgate_mbedtls_system "")
if(CMAKE_CROSSCOMPILING)
  set(cardgate_mbedtls_system "${CMAKE_SYSTEM_NAME}")
endif()
execute_process(
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/mbedtls.sh ${CMAKE_BINARY_DIR}/mbedtls-apt
          ${CMAKE_C_COMPILER} "${cardgate_mbedtls_flags}" "${cardgate_mbedtls_system}"
  OUTPUT_VARIABLE cardgate_mbedtls_out
  RESULT_VARIABLE cardgate_mbedtls_result)
if(NOT cardgate_mbedtls_result EQUAL 0)
  message(FATAL_ERROR "mbed TLS could not be provided (scripts/mbedtls.sh)")
endif()
string(STRIP "${cardgate_mbedtls_out}" cardgate_mbedtls_out)
string(REGEX REPLACE ".*\n" "" CARDGATE_MBEDTLS_PREFIX "${cardgate_mbedtls_out}")
# Configure again when the library's configuration or its recipe changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/cmake/mbedtls_config.h ${PROJECT_SOURCE_DIR}/scripts/mbedtls.sh)
file(STRINGS ${CARDGATE_MBEDTLS_PREFIX}/include/mbedtls/build_info.h cardgate_mbedtls_version_line
     REGEX "^#define MBEDTLS_VERSION_STRING +\"")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" CARDGATE_MBEDTLS_VERSION "${cardgate_mbedtls_version_line}")
message(STATUS "mbed TLS ${CARDGATE_MBEDTLS_VERSION}: ${CARDGATE_MBEDTLS_PREFIX}")

# The three libraries always go together, in this order: in a static link each archive may only
# use the ones behind it.
add_library(cg_mbedcrypto INTERFACE)
target_include_directories(cg_mbedcrypto SYSTEM INTERFACE ${CARDGATE_MBEDTLS_PREFIX}/include)
target_link_libraries(cg_mbedcrypto INTERFACE ${CARDGATE_MBEDTLS_PREFIX}/lib/libmbedtls.a
                      ${CARDGATE_MBEDTLS_PREFIX}/lib/libmbedx509.a
                      ${CARDGATE_MBEDTLS_PREFIX}/lib/libmbedcrypto.a Threads::Threads)
add_library(cg_mbedtls INTERFACE)
target_link_libraries(cg_mbedtls INTERFACE cg_mbedcrypto)
