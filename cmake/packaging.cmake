# The Debian package: `cpack -G DEB` in the build directory writes
# ryn_<version>_amd64.deb, which installs the tree under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ryn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ryn developers <ryn@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "binary instrumentation: exact counts, coverage reports, heap and lock checking")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# Shared-library dependencies as dpkg-shlibdeps finds them (libelf1, libdw1,
# libzydis, libmd0, libstdc++6, libc6 ...); the driver is our own library.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${RYN_STAGE_LIB})
# genhtml writes the HTML coverage report; a C compiler prepares programs.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "lcov, gcc | c-compiler")
include(CPack)
