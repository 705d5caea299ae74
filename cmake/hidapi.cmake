# hidapi comes to people in several shapes; the first of these found is taken:
#   1. hidapi's own CMake package (vcpkg, Conan, MSYS2, Homebrew, a source
#      install), found through CMAKE_PREFIX_PATH or a toolchain file;
#   2. pkg-config (Debian ships only this; also Fedora, Arch, the BSDs);
#   3. a hidapi Windows release folder, given as HIDAPI_ROOT;
#   4. for the MinGW cross-build, only hidapi's headers, given as
#      HIDLIST_HIDAPI_INCLUDE_DIR: hidlist.exe then links to hidapi.dll by
#      name, and the user puts the DLL from a release beside it.
#
# hidlist_find_hidapi(BACKEND TARGET_VARIABLE WAY_VARIABLE) sets the two
# variables to the target to link and a line saying how it was found, or
# TARGET_VARIABLE to "" when none was. BACKEND (hidraw or libusb) matters on
# Linux only, where hidapi comes in both flavours.

find_package(hidapi CONFIG QUIET)
find_package(PkgConfig QUIET)
if(WIN32)
  set(HIDAPI_ROOT "" CACHE PATH "A hidapi Windows release folder (include/, x64/, x86/)")
endif()
if(MINGW)
  set(HIDLIST_HIDAPI_INCLUDE_DIR "" CACHE PATH "MinGW cross-build without hidapi.dll: the folder holding hidapi.h")
endif()

function(hidlist_find_hidapi backend target_variable way_variable)
  set(target "")
  if(hidapi_FOUND)
    if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
      set(candidates hidapi::${backend})
      if(backend STREQUAL "hidraw")
        list(APPEND candidates hidapi::hidapi)
      endif()
    else()
      set(candidates hidapi::hidapi hidapi::libusb)
    endif()
    foreach(candidate IN LISTS candidates)
      if(TARGET ${candidate})
        set(target ${candidate})
        set(way "CMake package ${hidapi_VERSION} from ${hidapi_DIR}, target ${candidate}")
        break()
      endif()
    endforeach()
  endif()

  if(NOT target AND PKG_CONFIG_FOUND)
    if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
      set(modules hidapi-${backend})
    else()
      set(modules hidapi hidapi-libusb)
    endif()
    foreach(module IN LISTS modules)
      string(MAKE_C_IDENTIFIER "HIDLIST_PC_${module}" prefix)
      pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${module})
      if(${prefix}_FOUND)
        set(target PkgConfig::${prefix})
        set(way "pkg-config ${module} ${${prefix}_VERSION}")
        break()
      endif()
    endforeach()
  endif()

  if(NOT target AND WIN32 AND HIDAPI_ROOT)
    # The release's folders are named after the pointer size they serve.
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      set(flavour x64)
    else()
      set(flavour x86)
    endif()
    foreach(file include/hidapi.h ${flavour}/hidapi.lib ${flavour}/hidapi.dll)
      if(NOT EXISTS ${HIDAPI_ROOT}/${file})
        message(FATAL_ERROR "HIDAPI_ROOT (${HIDAPI_ROOT}) has no ${file}: give the folder unpacked from a hidapi "
                            "Windows release, the one holding include/ and ${flavour}/.")
      endif()
    endforeach()
    set(target hidlist_hidapi_release)
    if(NOT TARGET ${target})
      add_library(${target} SHARED IMPORTED)
      set_target_properties(${target} PROPERTIES
                            IMPORTED_LOCATION ${HIDAPI_ROOT}/${flavour}/hidapi.dll
                            IMPORTED_IMPLIB ${HIDAPI_ROOT}/${flavour}/hidapi.lib
                            INTERFACE_INCLUDE_DIRECTORIES ${HIDAPI_ROOT}/include)
    endif()
    set(way "Windows release folder ${HIDAPI_ROOT}, ${flavour}/hidapi.lib, ${flavour}/hidapi.dll put beside hidlist.exe")
  endif()

  if(NOT target AND MINGW AND HIDLIST_HIDAPI_INCLUDE_DIR)
    # An import library made from the two functions hidlist calls.
    set(import_library ${PROJECT_BINARY_DIR}/libhidapi.dll.a)
    set(definitions ${PROJECT_SOURCE_DIR}/cmake/hidapi.def)
    execute_process(COMMAND ${CMAKE_DLLTOOL} -d ${definitions} -l ${import_library} RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "${CMAKE_DLLTOOL} could not make an import library from ${definitions}")
    endif()
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${definitions})
    set(target hidlist_hidapi_by_name)
    if(NOT TARGET ${target})
      add_library(${target} UNKNOWN IMPORTED)
      set_target_properties(${target} PROPERTIES IMPORTED_LOCATION ${import_library}
                            INTERFACE_INCLUDE_DIRECTORIES ${HIDLIST_HIDAPI_INCLUDE_DIR})
    endif()
    set(way "headers from ${HIDLIST_HIDAPI_INCLUDE_DIR}, hidapi.dll linked by name and not shipped with hidlist.exe")
  endif()

  set(${target_variable} ${target} PARENT_SCOPE)
  set(${way_variable} "${way}" PARENT_SCOPE)
endfunction()

# What a user needs to read when none of the ways found hidapi.
set(HIDLIST_HIDAPI_MISSING [=[hidapi was not found. Install it:
  Debian, Ubuntu:  apt install libhidapi-dev pkg-config
  Fedora:          dnf install hidapi-devel pkgconf-pkg-config
  Arch:            pacman -S hidapi pkgconf
  Homebrew:        brew install hidapi pkg-config
  vcpkg:           vcpkg install hidapi, then configure with -DCMAKE_TOOLCHAIN_FILE=<vcpkg>/scripts/buildsystems/vcpkg.cmake
  FreeBSD:         pkg install hidapi pkgconf
or point the build at it:
  a CMake package:            -DCMAKE_PREFIX_PATH=<prefix holding it>
  a hidapi Windows release:   -DHIDAPI_ROOT=<folder holding include/, x64/ and x86/>]=])
