# Cross-builds the FreeBSD program for amd64 with Debian's clang-19 and
# lld-19, against FreeBSD 15.1's own headers and static libraries: the base
# set of a kit that holds FreeBSD's kernel.txz and base.txz, as FreeBSD's
# release sets do. The kit is found where NETWORK_CHANGE_FREEBSD_KIT points
# or, beside this tree (or beside the tree it was cloned from), at
# ../shared/freebsd. Its base set is unpacked once, into the build folder.
set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_VERSION 15.1)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(network_change_freebsd_target x86_64-unknown-freebsd15.1)
set(CMAKE_C_COMPILER clang-19)
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_C_COMPILER_TARGET ${network_change_freebsd_target})
set(CMAKE_CXX_COMPILER_TARGET ${network_change_freebsd_target})
# The base set has no shared libraries and no loader: everything is static.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -static")

if(NOT NETWORK_CHANGE_FREEBSD_SYSROOT)
  # Only the outermost configuration gets here: try_compile is handed the
  # variables below.
  set(kit "$ENV{NETWORK_CHANGE_FREEBSD_KIT}")
  if(NOT kit)
    set(tree ${CMAKE_CURRENT_LIST_DIR}/..)
    execute_process(COMMAND git -C ${tree} remote get-url origin OUTPUT_VARIABLE origin
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    foreach(candidate ${tree}/../shared/freebsd ${origin}/../shared/freebsd)
      if(NOT kit AND IS_ABSOLUTE "${candidate}" AND EXISTS "${candidate}/base.txz")
        get_filename_component(kit "${candidate}" ABSOLUTE)
      endif()
    endforeach()
  endif()
  if(NOT kit OR NOT EXISTS "${kit}/base.txz" OR NOT EXISTS "${kit}/kernel.txz")
    message(FATAL_ERROR "No FreeBSD kit (kernel.txz and base.txz) at '${kit}': set "
                        "NETWORK_CHANGE_FREEBSD_KIT to the folder that holds them, or put it at ../shared/freebsd")
  endif()
  set(NETWORK_CHANGE_FREEBSD_KIT "${kit}" CACHE PATH "The FreeBSD kit: kernel.txz and base.txz" FORCE)
  set(sysroot ${CMAKE_BINARY_DIR}/freebsd-base)
  file(SHA256 "${kit}/base.txz" base_sum)
  if(NOT EXISTS ${sysroot}/unpacked OR NOT base_sum STREQUAL "$CACHE{NETWORK_CHANGE_FREEBSD_BASE_SUM}")
    message(STATUS "Unpacking FreeBSD's base set into ${sysroot}")
    file(REMOVE_RECURSE ${sysroot})
    file(MAKE_DIRECTORY ${sysroot})
    execute_process(COMMAND tar -C ${sysroot} -xJf ${kit}/base.txz RESULT_VARIABLE untarred)
    if(NOT untarred EQUAL 0)
      message(FATAL_ERROR "Could not unpack ${kit}/base.txz")
    endif()
    file(TOUCH ${sysroot}/unpacked)
    set(NETWORK_CHANGE_FREEBSD_BASE_SUM "${base_sum}" CACHE INTERNAL "")
  endif()
  set(NETWORK_CHANGE_FREEBSD_SYSROOT ${sysroot} CACHE PATH "FreeBSD's base set, unpacked" FORCE)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NETWORK_CHANGE_FREEBSD_SYSROOT)

set(CMAKE_SYSROOT ${NETWORK_CHANGE_FREEBSD_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${NETWORK_CHANGE_FREEBSD_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
