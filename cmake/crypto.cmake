# The library behind the packet cipher, chosen when the agent is configured:
#   -DVTCLIENT_CRYPTO=openssl   OpenSSL's libcrypto through EVP (default)
#   -DVTCLIENT_CRYPTO=mbedtls   mbedTLS's AES module (libmbedcrypto), far
#                               smaller in a static firmware build
# Defines the target vt_crypto (the library, for the channel to link) and
# VTCLIENT_CRYPTO_SOURCE (the channel's backend file for that library).
set(VTCLIENT_CRYPTO openssl CACHE STRING "Cipher library of the channel: openssl or mbedtls")
set_property(CACHE VTCLIENT_CRYPTO PROPERTY STRINGS openssl mbedtls)

add_library(vt_crypto INTERFACE)
if(VTCLIENT_CRYPTO STREQUAL "openssl")
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)
  target_link_libraries(vt_crypto INTERFACE OpenSSL::Crypto)
elseif(VTCLIENT_CRYPTO STREQUAL "mbedtls")
  # VTCLIENT_MBEDTLS_ROOT: prefix of a cross-built mbedTLS (include/, lib/);
  # without it the system's libmbedtls-dev is used.
  set(VTCLIENT_MBEDTLS_ROOT "" CACHE PATH "Prefix of the mbedTLS to link (empty: the system's)")
  if(VTCLIENT_MBEDTLS_ROOT)
    # That prefix alone, whatever root paths a toolchain file sets.
    set(vt_only_root NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  endif()
  find_path(VTCLIENT_MBEDTLS_INCLUDE mbedtls/aes.h PATHS ${VTCLIENT_MBEDTLS_ROOT}/include ${vt_only_root})
  find_library(VTCLIENT_MBEDCRYPTO NAMES mbedcrypto PATHS ${VTCLIENT_MBEDTLS_ROOT}/lib ${vt_only_root})
  if(NOT VTCLIENT_MBEDTLS_INCLUDE OR NOT VTCLIENT_MBEDCRYPTO)
    message(FATAL_ERROR "mbedTLS not found (libmbedtls-dev, or VTCLIENT_MBEDTLS_ROOT)")
  endif()
  target_include_directories(vt_crypto INTERFACE ${VTCLIENT_MBEDTLS_INCLUDE})
  target_link_libraries(vt_crypto INTERFACE ${VTCLIENT_MBEDCRYPTO})
else()
  message(FATAL_ERROR "VTCLIENT_CRYPTO must be openssl or mbedtls, not '${VTCLIENT_CRYPTO}'")
endif()
target_compile_definitions(vt_crypto INTERFACE VTCLIENT_CRYPTO_${VTCLIENT_CRYPTO})
set(VTCLIENT_CRYPTO_SOURCE ${PROJECT_SOURCE_DIR}/channel/cipher/${VTCLIENT_CRYPTO}.cc)
message(STATUS "Packet cipher: ${VTCLIENT_CRYPTO}")
