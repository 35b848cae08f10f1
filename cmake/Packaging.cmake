# Debian packages through CPack (cpack -G DEB in the build folder), one per component:
#   volinspect          the program, its desktop entry, MIME type, icon and man page
#   libvolinspect0      the shared libraries
#   libvolinspect-dev   headers, the CMake package, pkg-config files, the Designer plugin
# Configure with -DCMAKE_INSTALL_PREFIX=/usr so the libraries land in lib/<arch>, and
# with -DVOLINSPECT_MAINTAINER="Name <mail>" to name who makes the packages. Each
# package's documentation folder (copyright, changelog) is installed by packaging/.

set(CPACK_PACKAGE_NAME volinspect)
set(CPACK_PACKAGE_VENDOR "the volinspect developers")
set(CPACK_PACKAGE_CONTACT "${VOLINSPECT_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VOLINSPECT_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put that one line above every
# package's own description, so that all three shared one synopsis. Each component's
# description below starts with its package's synopsis.
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program runtime development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# Programs, libraries and the plugin are stripped as CPack installs them into its own
# staging folder: the packages carry no symbol tables and no debug information, and the
# build tree keeps both (tests, benchmarks and debuggers use it).
set(CPACK_STRIP_FILES ON)

# System libraries are found by dpkg-shlibdeps; the project's own come from the build
# folders and are named by hand, at this exact version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR}/imaging ${PROJECT_BINARY_DIR}/controls)
set(VOLINSPECT_RUNTIME_DEPENDS "libvolinspect0 (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME volinspect)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS "${VOLINSPECT_RUNTIME_DEPENDS}")
set(CPACK_COMPONENT_PROGRAM_DESCRIPTION [[
Viewer of three-dimensional microscopy volumes (ICS and raw files)
Shows three orthogonal slices of a volume with zoom, crosshair, sample values
and contrast. It reads ICS files of 8-bit, 16-bit or 32-bit integer or
floating-point samples and raw volumes of 8-bit voxels, and computes the
high-frequency figure of a volume's lag-difference spectrum, also in a batch
mode for scripts and a table mode for many files.]])

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvolinspect0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION [[
Qt display controls for imaging programs (shared libraries)
Image display for any pixel kind, vector plot, shape overlay with grips,
pan-and-zoom panel and multi-view grid, with the image records and
conversions they are built on.]])
# Its control files, besides the generated ones:
#  - shlibs tells dpkg-shlibdeps, when other packages are built, which package provides
#    each SONAME. The libraries keep SONAME major 0 through the 0.x releases, whose
#    minor versions may change their interface, so a program built against them is
#    promised only this exact version. (CPack's own shlibs generation would also look
#    at the Designer plugin of the -dev package, which has no SONAME, and warn.)
#  - triggers: the libraries are in the dynamic linker's folders, whose cache the
#    ldconfig trigger rebuilds when the package is installed or removed.
get_property(volinspect_libraries GLOBAL PROPERTY VOLINSPECT_LIBRARY_NAMES)
set(volinspect_shlibs "")
foreach(name IN LISTS volinspect_libraries)
  string(APPEND volinspect_shlibs
    "lib${name} ${PROJECT_VERSION_MAJOR} ${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} (= ${PROJECT_VERSION})\n")
endforeach()
set(volinspect_control ${PROJECT_BINARY_DIR}/packaging/debian/${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME})
file(CONFIGURE OUTPUT ${volinspect_control}/shlibs CONTENT "${volinspect_shlibs}")
file(CONFIGURE OUTPUT ${volinspect_control}/triggers CONTENT "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${volinspect_control}/shlibs ${volinspect_control}/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvolinspect-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${VOLINSPECT_RUNTIME_DEPENDS}, qt6-base-dev")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION [[
Qt display controls for imaging programs (development files)
Headers, the CMake package VolinspectControls, pkg-config files and the Qt
Designer plugin of the display controls.]])

include(CPack)
