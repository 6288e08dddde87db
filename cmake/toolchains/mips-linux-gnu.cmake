# Cross build for big-endian 32-bit MIPS Linux with Debian's g++-mips-linux-gnu.
#
#   cmake -S . -B build/mips \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mips-linux-gnu.cmake \
#     -DVTCLIENT_MIPS_OPENSSL=$(scripts/build-mips-openssl.sh --print)
#
# Big-endian is the point of this target: it runs every byte-order rule of the
# wire format, the event records and the statistics the other way round from
# the x86-64 development machine. Test programs run under qemu user-mode
# emulation (qemu-user-static), so ctest works in the cross build as usual.
#
# VTCLIENT_MIPS_OPENSSL          prefix of the MIPS libcrypto (include/, lib/)
# VTCLIENT_MIPS_OPENSSL_STATIC   ON (default): link libcrypto.a; OFF: link
#                                libcrypto.so, as firmware does

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(VTCLIENT_CROSS_TRIPLE mips-linux-gnu)
set(CMAKE_C_COMPILER   ${VTCLIENT_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VTCLIENT_CROSS_TRIPLE}-g++)
set(VTCLIENT_CROSS_SYSROOT /usr/${VTCLIENT_CROSS_TRIPLE})

# Toolchain files are read again for every try-compile; pass the settings on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
     VTCLIENT_MIPS_OPENSSL VTCLIENT_MIPS_OPENSSL_STATIC)

if(NOT VTCLIENT_MIPS_OPENSSL)
  set(VTCLIENT_MIPS_OPENSSL "$ENV{HOME}/.cache/vtclient-mips/openssl")
endif()
set(VTCLIENT_MIPS_OPENSSL "${VTCLIENT_MIPS_OPENSSL}" CACHE PATH "Prefix of the MIPS libcrypto")
option(VTCLIENT_MIPS_OPENSSL_STATIC "Link the static MIPS libcrypto" ON)

set(OPENSSL_ROOT_DIR "${VTCLIENT_MIPS_OPENSSL}")
set(OPENSSL_USE_STATIC_LIBS ${VTCLIENT_MIPS_OPENSSL_STATIC})

# Libraries and headers come from the cross sysroot and the MIPS libcrypto
# only, never from the host; programs (perl, python, qemu) from the host.
set(CMAKE_FIND_ROOT_PATH ${VTCLIENT_CROSS_SYSROOT} "${VTCLIENT_MIPS_OPENSSL}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config would otherwise answer with the host's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "${VTCLIENT_CROSS_SYSROOT}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# 32-bit MIPS has no 64-bit atomic instructions; OpenSSL 3 and std::atomic of
# 64-bit values call into libatomic. Standard libraries go last on the link
# line, after the static libcrypto that needs them.
set(CMAKE_C_STANDARD_LIBRARIES_INIT "-latomic")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-latomic")

# Debian has no MIPS GoogleTest; build it from the sources of libgtest-dev.
set(GTest_DIR "${CMAKE_CURRENT_LIST_DIR}/../cross/gtest" CACHE PATH "GoogleTest built from source")

# Run test programs (and gtest_discover_tests) under qemu, with the cross
# sysroot as the root of the dynamic loader and its libraries.
find_program(VTCLIENT_QEMU qemu-mips-static qemu-mips)
if(VTCLIENT_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${VTCLIENT_QEMU};-L;${VTCLIENT_CROSS_SYSROOT}")
endif()
