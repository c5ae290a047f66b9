# "cpack -G DEB" in the build folder: a Debian package of the installed
# layout, its library dependencies computed by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvaring)
set(CPACK_PACKAGE_VENDOR Kelvaring)
set(CPACK_PACKAGE_CONTACT "Kelvaring developers <dev@kelvaring.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "Claims a number of megabytes, splits them into two arrays of 32-bit
words and compares them under random traffic; any difference between
the two copies is a memory error.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
