# The Debian package: one package, kivo, holding everything `cmake --install`
# puts under the prefix (programs, libraries, headers, package files, the
# Python module, the Tcl package, man pages and documents), installed under
# /usr. Built from a configured tree with
#
#   cpack --config build/CPackConfig.cmake -B <output directory>
#
# Its dependencies on the Debian libraries the programs and libraries link are
# found by dpkg-shlibdeps; the interpreters that load the modules are named
# here, since modules do not link them.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kivo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Kivo developers")
set(CPACK_PACKAGE_CONTACT "Kivo developers <kivo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "content-based image retrieval engine")
set(CPACK_PACKAGE_DESCRIPTION
    "Kivo computes visual features of images (colour, colour histogram, texture, sketch layout, keywords and\n\
photo descriptors), keeps them in catalogs of B-tree tables and answers queries by example with the\n\
nearest images. The package holds the tools (KvMkDbs, KvQBE, KvMkThmb, KvDumpDb), the kivo command and its\n\
HTTP server, the query server KvQSrv, the kivotcl shell, the C and C++ libraries with their headers,\n\
pkg-config and CMake files, the Python module kivo and the Tcl package kivo.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package's own libraries, for dpkg-shlibdeps and for the libraries'
# entry in the dynamic linker's cache (the shlibs file triggers ldconfig).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The Python module is built for this Python's ABI; the Tcl package loads
# into Tcl 8.6 (libtcl8.6 comes through the libraries linked).
math(EXPR kivo_python_next "${Python3_VERSION_MINOR} + 1")
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~), python3 (<< ${Python3_VERSION_MAJOR}.${kivo_python_next})")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-numpy, tcl8.6")

include(CPack)
