# hidapi comes to people in several shapes. What the user names on the
# command line is taken first, and must be usable; then what is found, each
# way looked at only when the ones before it have found nothing, so that a
# broken or foreign package cannot stop a build that names its hidapi:
#   1. a hidapi Windows release folder, given as HIDAPI_ROOT: a build for
#      Windows takes it, any other stops, and none searches it for a package
#      (CMake 3.27 and later would);
#   2. for the MinGW cross-build, only hidapi's headers, given as
#      HIDLIST_HIDAPI_INCLUDE_DIR: hidlist.exe then links to hidapi.dll by
#      name, and the user puts the DLL from a release beside it; any other
#      build stops;
#   3. hidapi's own CMake package (vcpkg, Conan, MSYS2, Homebrew, a source
#      install), found through CMAKE_PREFIX_PATH, hidapi_ROOT or a toolchain
#      file;
#   4. pkg-config (of these ways Debian ships only this: its libhidapi-dev
#      holds pkg-config files and libraries, no CMake package; also Fedora,
#      Arch, the BSDs);
#   5. for the MinGW cross-build, the build machine's own hidapi.h (Debian's
#      libhidapi-dev's), linked by name as in 2.
#
# hidlist_find_hidapi(BACKEND TARGET_VARIABLE WAY_VARIABLE) sets the two
# variables to the target to link and a line saying how it was found, or
# TARGET_VARIABLE to "" when none was. BACKEND (hidraw or libusb) matters on
# Linux only, where hidapi comes in both flavours and only the one asked for
# is taken.

find_package(PkgConfig QUIET)
if(WIN32)
  set(HIDAPI_ROOT "" CACHE PATH "A hidapi Windows release folder (include/, and x64/, x86/ or arm64/)")
elseif(HIDAPI_ROOT)
  message(FATAL_ERROR "HIDAPI_ROOT (${HIDAPI_ROOT}) names a hidapi Windows release folder, which only a build for "
                      "Windows can use. For hidapi installed under a prefix, give -DCMAKE_PREFIX_PATH=<prefix>; "
                      "-UHIDAPI_ROOT drops HIDAPI_ROOT.")
endif()
if(MINGW)
  set(HIDLIST_HIDAPI_INCLUDE_DIR "" CACHE PATH "MinGW cross-build without hidapi.dll: the folder holding hidapi.h")
elseif(HIDLIST_HIDAPI_INCLUDE_DIR)
  message(FATAL_ERROR "HIDLIST_HIDAPI_INCLUDE_DIR (${HIDLIST_HIDAPI_INCLUDE_DIR}) serves only a MinGW build, which "
                      "links to hidapi.dll by name; this build takes hidapi's headers with its library. "
                      "-UHIDLIST_HIDAPI_INCLUDE_DIR drops it.")
endif()

# hidapi::hidapi is either flavour, as the package was built. Sets
# FLAVOUR_VARIABLE to the one that TARGET's library file or the targets it
# links name, or to "" when they name neither or both.
function(hidlist_hidapi_flavour target flavour_variable)
  get_target_property(aliased ${target} ALIASED_TARGET)
  if(aliased)
    set(target ${aliased})
  endif()
  set(clues ${target})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    # CMake before 3.19 reads no other property of an interface library.
    get_target_property(links ${target} INTERFACE_LINK_LIBRARIES)
    list(APPEND clues ${links})
  else()
    get_target_property(location ${target} IMPORTED_LOCATION)
    list(APPEND clues ${location})
    get_target_property(configurations ${target} IMPORTED_CONFIGURATIONS)
    foreach(configuration IN LISTS configurations)
      string(TOUPPER ${configuration} configuration)
      get_target_property(location ${target} IMPORTED_LOCATION_${configuration})
      list(APPEND clues ${location})
    endforeach()
  endif()
  string(REGEX MATCHALL "hidapi[-_:]+(hidraw|libusb)" named "${clues}")
  set(flavour "")
  if(named MATCHES "hidraw" AND NOT named MATCHES "libusb")
    set(flavour hidraw)
  elseif(named MATCHES "libusb" AND NOT named MATCHES "hidraw")
    set(flavour libusb)
  endif()
  set(${flavour_variable} ${flavour} PARENT_SCOPE)
endfunction()

# Sets TARGET_VARIABLE to a target for hidlist.exe that links to hidapi.dll
# by name, through an import library made from the two functions hidlist
# calls, with hidapi.h from HEADERS.
function(hidlist_hidapi_by_name headers target_variable)
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
                          INTERFACE_INCLUDE_DIRECTORIES ${headers})
  endif()
  set(${target_variable} ${target} PARENT_SCOPE)
endfunction()

function(hidlist_find_hidapi backend target_variable way_variable)
  set(target "")
  if(WIN32 AND HIDAPI_ROOT)
    # The release has a folder for each processor it serves. The compiler
    # knows the target's best where it says: Visual Studio on an x64
    # machine can build for ARM64.
    set(processor ${CMAKE_CXX_COMPILER_ARCHITECTURE_ID})
    if(NOT processor)
      set(processor ${CMAKE_SYSTEM_PROCESSOR})
    endif()
    string(TOLOWER "${processor}" name)
    if(name MATCHES "^(x64|amd64|x86_64)$")
      set(folder x64)
    elseif(name MATCHES "^(x86|i[3-6]86)$")
      set(folder x86)
    elseif(name MATCHES "^(arm64|aarch64)$")
      set(folder arm64)
    else()
      message(FATAL_ERROR "A hidapi Windows release has no folder for the ${processor} processor.")
    endif()
    if(NOT IS_DIRECTORY ${HIDAPI_ROOT}/${folder})
      message(FATAL_ERROR "HIDAPI_ROOT (${HIDAPI_ROOT}) has no ${folder}/, the folder for ${processor}: "
                          "give a hidapi Windows release that serves ${processor}.")
    endif()
    foreach(file include/hidapi.h ${folder}/hidapi.lib ${folder}/hidapi.dll)
      if(NOT EXISTS ${HIDAPI_ROOT}/${file})
        message(FATAL_ERROR "HIDAPI_ROOT (${HIDAPI_ROOT}) has no ${file}: give the folder unpacked from a hidapi "
                            "Windows release, the one holding include/ and ${folder}/.")
      endif()
    endforeach()
    set(target hidlist_hidapi_release)
    if(NOT TARGET ${target})
      add_library(${target} SHARED IMPORTED)
      set_target_properties(${target} PROPERTIES
                            IMPORTED_LOCATION ${HIDAPI_ROOT}/${folder}/hidapi.dll
                            IMPORTED_IMPLIB ${HIDAPI_ROOT}/${folder}/hidapi.lib
                            INTERFACE_INCLUDE_DIRECTORIES ${HIDAPI_ROOT}/include)
    endif()
    set(way "Windows release folder ${HIDAPI_ROOT}, ${folder}/hidapi.lib, ${folder}/hidapi.dll put beside hidlist.exe")

  elseif(MINGW AND HIDLIST_HIDAPI_INCLUDE_DIR)
    if(NOT EXISTS ${HIDLIST_HIDAPI_INCLUDE_DIR}/hidapi.h)
      message(FATAL_ERROR "HIDLIST_HIDAPI_INCLUDE_DIR (${HIDLIST_HIDAPI_INCLUDE_DIR}) has no hidapi.h.")
    endif()
    hidlist_hidapi_by_name(${HIDLIST_HIDAPI_INCLUDE_DIR} target)
    set(way "headers from ${HIDLIST_HIDAPI_INCLUDE_DIR}, hidapi.dll linked by name and not shipped with hidlist.exe")
  endif()

  if(NOT target)
    # Looked for once a configure: the package's file, run again, would
    # make its targets again.
    get_property(searched GLOBAL PROPERTY hidlist_hidapi_package SET)
    if(NOT searched)
      # HIDAPI_ROOT is a release folder, or nothing; CMake 3.27 and later
      # would also search it as a prefix for the package.
      cmake_policy(PUSH)
      if(POLICY CMP0144)
        cmake_policy(SET CMP0144 OLD)
      endif()
      find_package(hidapi CONFIG QUIET)
      cmake_policy(POP)
      set(package "")
      if(hidapi_FOUND)
        set(package "CMake package ${hidapi_VERSION} from ${hidapi_DIR}")
      endif()
      set_property(GLOBAL PROPERTY hidlist_hidapi_package "${package}")
    endif()
    get_property(package GLOBAL PROPERTY hidlist_hidapi_package)
  endif()
  if(NOT target AND package)
    if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
      if(TARGET hidapi::${backend})
        set(target hidapi::${backend})
        set(way "${package}, target ${target}")
      elseif(TARGET hidapi::hidapi)
        hidlist_hidapi_flavour(hidapi::hidapi flavour)
        if(flavour STREQUAL backend)
          set(target hidapi::hidapi)
          set(way "${package}, target ${target}, the ${backend} flavour")
        elseif(flavour)
          set(passed_over "its hidapi::hidapi is the ${flavour} flavour, and ${backend} is asked for")
        else()
          set(passed_over "the flavour of its hidapi::hidapi cannot be told, and ${backend} is asked for")
        endif()
      else()
        set(passed_over "it has neither hidapi::${backend} nor hidapi::hidapi")
      endif()
    else()
      set(passed_over "it has neither hidapi::hidapi nor hidapi::libusb")
      foreach(candidate hidapi::hidapi hidapi::libusb)
        if(TARGET ${candidate})
          set(target ${candidate})
          set(way "${package}, target ${target}")
          break()
        endif()
      endforeach()
    endif()
    if(NOT target)
      message(STATUS "hidapi: passed over the ${package}: ${passed_over}")
    endif()
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

  if(NOT target AND MINGW)
    # The cross-build's root holds no hidapi of its own, so the header comes
    # from the build machine: the same hidapi.h serves every system.
    find_path(HIDLIST_HIDAPI_BUILD_MACHINE_INCLUDE_DIR hidapi.h PATHS /usr/include /usr/local/include
              PATH_SUFFIXES hidapi NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    mark_as_advanced(HIDLIST_HIDAPI_BUILD_MACHINE_INCLUDE_DIR)
    if(HIDLIST_HIDAPI_BUILD_MACHINE_INCLUDE_DIR)
      hidlist_hidapi_by_name(${HIDLIST_HIDAPI_BUILD_MACHINE_INCLUDE_DIR} target)
      string(CONCAT way "headers from ${HIDLIST_HIDAPI_BUILD_MACHINE_INCLUDE_DIR} on the build machine, "
                        "hidapi.dll linked by name and not shipped with hidlist.exe")
    endif()
  endif()

  set(${target_variable} ${target} PARENT_SCOPE)
  set(${way_variable} "${way}" PARENT_SCOPE)
endfunction()

# What a user needs to read when none of the ways found hidapi.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(HIDLIST_HIDAPI_MISSING "hidapi's ${HIDLIST_HIDAPI_BACKEND} flavour was not found")
else()
  set(HIDLIST_HIDAPI_MISSING "hidapi was not found")
endif()
string(APPEND HIDLIST_HIDAPI_MISSING [=[. Install it:
  Debian, Ubuntu:  apt install libhidapi-dev pkg-config
  Fedora:          dnf install hidapi-devel pkgconf-pkg-config
  Arch:            pacman -S hidapi pkgconf
  Homebrew:        brew install hidapi pkg-config
  vcpkg:           vcpkg install hidapi, then configure with -DCMAKE_TOOLCHAIN_FILE=<vcpkg>/scripts/buildsystems/vcpkg.cmake
  FreeBSD:         pkg install hidapi pkgconf
or point the build at it:
  a CMake package:            -DCMAKE_PREFIX_PATH=<prefix holding it>]=])
if(WIN32)
  string(APPEND HIDLIST_HIDAPI_MISSING "
  a hidapi Windows release:   -DHIDAPI_ROOT=<folder holding include/, and x64/, x86/ or arm64/>")
endif()
if(MINGW)
  string(APPEND HIDLIST_HIDAPI_MISSING "
  hidapi's headers alone:     -DHIDLIST_HIDAPI_INCLUDE_DIR=<folder holding hidapi.h>")
endif()
