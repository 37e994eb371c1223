# The Windows program: the watch loop on the system's own IP Helper and
# Windows Sockets, packaged as a .zip.
add_executable(network-change src/network-change.cpp)
target_include_directories(network-change PRIVATE src/win32)
target_compile_definitions(network-change PRIVATE WIN32_LEAN_AND_MEAN __USE_MINGW_ANSI_STDIO=0)
# Nothing but the system's own DLLs may be needed beside the .exe.
target_link_options(network-change PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(network-change PRIVATE strict_warnings iphlpapi ws2_32)

option(NETWORK_CHANGE_SCRIPTED_IPHLPAPI "Build the tests' scripted IPHLPAPI.DLL beside the program" OFF)
if(NETWORK_CHANGE_SCRIPTED_IPHLPAPI)
  add_library(scripted-iphlpapi SHARED tests/windows/iphlpapi.cpp)
  set_target_properties(scripted-iphlpapi PROPERTIES OUTPUT_NAME iphlpapi PREFIX "")
  target_compile_options(scripted-iphlpapi PRIVATE
    -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-stack-protector)
  # No C runtime: KERNEL32 is its one import.
  target_link_options(scripted-iphlpapi PRIVATE -nostdlib -Wl,--kill-at -Wl,-e,_DllMain@12)
  target_link_libraries(scripted-iphlpapi PRIVATE strict_warnings kernel32 gcc)
endif()

configure_file(packaging/USAGE.txt USAGE.txt @ONLY NEWLINE_STYLE CRLF)
install(TARGETS network-change RUNTIME DESTINATION .)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/USAGE.txt DESTINATION .)
install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
set(CPACK_GENERATOR ZIP)
set(CPACK_SYSTEM_NAME win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
