# Debian packages through CPack (cpack -G DEB in the build folder), one per component:
#   volinspect          the program, its desktop entry, MIME type, icon and man page
#   libvolinspect0      the shared libraries
#   libvolinspect-dev   headers, the CMake package, pkg-config files, the Designer plugin
# Configure with -DCMAKE_INSTALL_PREFIX=/usr so the libraries land in lib/<arch>.

set(CPACK_PACKAGE_NAME volinspect)
set(CPACK_PACKAGE_VENDOR "the volinspect developers")
set(CPACK_PACKAGE_CONTACT "volinspect developers <volinspect@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Inspector for 3-D microscopy volumes, and its Qt display controls")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program runtime development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# System libraries are found by dpkg-shlibdeps; the project's own come from the build
# folders and are named by hand, at this exact version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR}/imaging ${PROJECT_BINARY_DIR}/controls)
set(VOLINSPECT_RUNTIME_DEPENDS "libvolinspect0 (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME volinspect)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS "${VOLINSPECT_RUNTIME_DEPENDS}")
set(CPACK_COMPONENT_PROGRAM_DESCRIPTION
    "Viewer of three-dimensional volumes of 8-bit voxels (ICS, raw)\n Shows three orthogonal slices of a volume with zoom, crosshair, voxel values and\n contrast, reads 16-bit, 32-bit and float ICS samples, and computes the\n high-frequency figure of its lag-difference spectrum, also in batch and table modes.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvolinspect0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "Qt display controls for imaging programs (shared libraries)\n Image display for any pixel kind, vector plot, shape overlay with grips,\n pan-and-zoom panel and multi-view grid.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvolinspect-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${VOLINSPECT_RUNTIME_DEPENDS}, qt6-base-dev")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "Qt display controls for imaging programs (development files)\n Headers, the CMake package VolinspectControls, pkg-config files and the Qt\n Designer plugin of the display controls.")

# Every package carries the copyright file in its own documentation folder (the
# program's is installed with its other files, in packaging/).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libvolinspect0 COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libvolinspect-dev COMPONENT development)

include(CPack)
