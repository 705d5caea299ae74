# Cross-compiles for another Debian architecture with Debian's cross
# toolchain (crossbuild-essential-ARCH) and multiarch libraries
# (libhidapi-dev:ARCH): -DDEBIAN_ARCHITECTURE=arm64, armhf or i386.
# Tests run under qemu-user where the build machine cannot run them itself.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DEBIAN_ARCHITECTURE)
if(NOT DEBIAN_ARCHITECTURE)
  message(FATAL_ERROR "Name the Debian architecture to build for: -DDEBIAN_ARCHITECTURE=arm64")
endif()
foreach(variable GNU_TYPE GNU_CPU MULTIARCH)
  execute_process(COMMAND dpkg-architecture -a ${DEBIAN_ARCHITECTURE} -qDEB_HOST_${variable}
                  OUTPUT_VARIABLE ${variable} OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endforeach()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${GNU_CPU})
set(CMAKE_CXX_COMPILER ${GNU_TYPE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${MULTIARCH})
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${MULTIARCH}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE build_architecture OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT (DEBIAN_ARCHITECTURE STREQUAL "i386" AND build_architecture STREQUAL "amd64"))
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${GNU_CPU})
endif()
