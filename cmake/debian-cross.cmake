# Cross-compiles for another Debian architecture with Debian's cross
# toolchain (crossbuild-essential-ARCH) and multiarch libraries
# (libhidapi-dev:ARCH): -DDEBIAN_ARCHITECTURE=arm64, say, or any that
# platforms.txt names.
# Tests run under qemu-user where this machine cannot run the programs itself.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DEBIAN_ARCHITECTURE)
if(NOT DEBIAN_ARCHITECTURE)
  message(FATAL_ERROR "Name the Debian architecture to build for: -DDEBIAN_ARCHITECTURE=arm64")
endif()
foreach(variable GNU_TYPE GNU_CPU MULTIARCH)
  execute_process(COMMAND dpkg-architecture -a ${DEBIAN_ARCHITECTURE} -qDEB_HOST_${variable}
                  OUTPUT_VARIABLE ${variable} ERROR_VARIABLE complaint RESULT_VARIABLE failed
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(failed OR NOT ${variable})
    message(FATAL_ERROR "dpkg-architecture (from dpkg-dev) cannot tell ${variable} of the Debian architecture "
                        "'${DEBIAN_ARCHITECTURE}': ${complaint}")
  endif()
endforeach()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${GNU_CPU})
set(CMAKE_CXX_COMPILER ${GNU_TYPE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${MULTIARCH})
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${MULTIARCH}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# What a source install put in /usr/local is built for this machine, not for
# the target; Debian keeps the target's own packages under /usr.
set(CMAKE_SYSTEM_IGNORE_PREFIX_PATH /usr/local)
set(CMAKE_SYSTEM_IGNORE_PATH /usr/local/lib/cmake /usr/local/share/cmake /usr/local/lib/${MULTIARCH}/cmake)

# The tests' programs run natively only where this machine's kernel runs them
# itself, which an amd64 kernel without its 32-bit support does not: a tiny
# program tells. Elsewhere qemu-user runs them, under qemu's name for the CPU.
get_property(in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT in_try_compile AND NOT DEFINED CACHE{CMAKE_CROSSCOMPILING_EMULATOR})
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE build_architecture OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(runs_natively NO)
  if("${build_architecture}:${DEBIAN_ARCHITECTURE}" MATCHES "^(amd64:i386|arm64:armhf|arm64:armel)$")
    set(probe ${CMAKE_BINARY_DIR}/CMakeFiles/runs_here)
    file(WRITE ${probe}.cpp "int main() { return 0; }\n")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${probe}.cpp -o ${probe} RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "${CMAKE_CXX_COMPILER} cannot build a program (crossbuild-essential-${DEBIAN_ARCHITECTURE})")
    endif()
    execute_process(COMMAND ${probe} RESULT_VARIABLE ran OUTPUT_QUIET ERROR_QUIET)
    if(ran STREQUAL "0")
      set(runs_natively YES)
    endif()
  endif()
  if(NOT runs_natively)
    # qemu's name for the CPU, which is not always the GNU one (i686), from
    # the table's reader.
    find_program(HIDLIST_PYTHON3 python3)
    if(NOT HIDLIST_PYTHON3)
      message(FATAL_ERROR "python3 is needed to read qemu's name for ${DEBIAN_ARCHITECTURE} from platforms.txt")
    endif()
    execute_process(COMMAND ${HIDLIST_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/../tests/platforms.py
                            architecture ${DEBIAN_ARCHITECTURE} qemu
                    RESULT_VARIABLE unread OUTPUT_VARIABLE qemu_cpu ERROR_VARIABLE why
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(unread)
      message(FATAL_ERROR "qemu's name for ${DEBIAN_ARCHITECTURE}: ${why}")
    endif()
  endif()
  if(runs_natively)
    set(CMAKE_CROSSCOMPILING_EMULATOR "" CACHE STRING "Runs the target's programs on this machine")
    message(STATUS "${DEBIAN_ARCHITECTURE} programs run natively: this kernel ran one")
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${qemu_cpu} CACHE STRING "Runs the target's programs on this machine")
    if(DEFINED probe)
      message(STATUS "${DEBIAN_ARCHITECTURE} programs run under qemu-${qemu_cpu}: this kernel did not run one")
    else()
      message(STATUS "${DEBIAN_ARCHITECTURE} programs run under qemu-${qemu_cpu}: this ${build_architecture} machine cannot run them itself")
    endif()
  endif()
endif()
