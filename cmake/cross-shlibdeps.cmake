# CPack's settings where a .deb's libraries come from a cross toolchain
# (linux.cmake): dpkg-shlibdeps is run through cross-shlibdeps, which names
# the architecture's own packages.
set(SHLIBDEPS_EXECUTABLE ${CMAKE_CURRENT_LIST_DIR}/cross-shlibdeps)
