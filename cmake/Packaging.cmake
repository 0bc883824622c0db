# Debian packages of the data plane, one per install component:
#   diff-tool    -> zev-block-diff-tool     (the static diff tool, zev-block-apply,
#                                            zev-block-manifest and zev-block-merge)
#   sdk-runtime  -> libquillonvarde-sdk1    (the shared library and its SONAME link)
#   sdk-dev      -> libquillonvarde-sdk-dev (header, unversioned link, pkg-config, CMake package)
#   qv-tools     -> qv-tools                (qv-disk and hxa-simulator)
# `cmake --build build --target package` writes the .deb files into the build folder.
#
# The programs are defined in folders added after this file may be read, so the parts that
# depend on which programs exist run at the end of the top-level directory.

set(QV_PACKAGE_COMPONENTS diff-tool sdk-runtime sdk-dev qv-tools)
set(QV_PACKAGE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc)

# Every package carries its copyright file, its changelog (gzip'ed, as Debian keeps it) and,
# where needed, its lintian overrides.
set(QV_PKG_NAME_diff-tool zev-block-diff-tool)
set(QV_PKG_NAME_sdk-runtime libquillonvarde-sdk1)
set(QV_PKG_NAME_sdk-dev libquillonvarde-sdk-dev)
set(QV_PKG_NAME_qv-tools qv-tools)

find_program(GZIP_PROGRAM gzip REQUIRED)
foreach(component ${QV_PACKAGE_COMPONENTS})
  set(pkg ${QV_PKG_NAME_${component}})
  set(QV_CHANGELOG_PACKAGE ${pkg})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in
    ${PROJECT_BINARY_DIR}/packaging/${pkg}/changelog @ONLY)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/${pkg}/changelog.gz
    COMMAND ${GZIP_PROGRAM} -9nf -k changelog
    DEPENDS ${PROJECT_BINARY_DIR}/packaging/${pkg}/changelog
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/packaging/${pkg}
    COMMENT "Compressing the changelog of ${pkg}")
  list(APPEND QV_PACKAGE_FILES ${PROJECT_BINARY_DIR}/packaging/${pkg}/changelog.gz)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
                ${PROJECT_BINARY_DIR}/packaging/${pkg}/changelog.gz
    DESTINATION ${QV_PACKAGE_DOC_DIR}/${pkg} COMPONENT ${component})
endforeach()
add_custom_target(package-files ALL DEPENDS ${QV_PACKAGE_FILES})

# The diff tool is static on purpose (copied onto machines without its libraries).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/zev-block-diff-tool.lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME zev-block-diff-tool
  COMPONENT diff-tool)

function(qv_packaging_finish)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME zev-data-plane)
  set(CPACK_PACKAGE_VENDOR "zev data plane team")
  set(CPACK_PACKAGE_CONTACT "zev data plane team <dataplane@zev.example.com>")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_COMPONENTS_ALL ${QV_PACKAGE_COMPONENTS})
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zev.example.com/data-plane")
  # Run-time dependencies of the binaries come from dpkg-shlibdeps; the library's own
  # package is found in the build tree for the programs that link it.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/sdk)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")

  set(CPACK_DEBIAN_DIFF-TOOL_PACKAGE_NAME zev-block-diff-tool)
  set(CPACK_COMPONENT_DIFF-TOOL_DESCRIPTION
    "block difference stream of two disk images, and its restore\n\
zev-block-diff-tool compares two equal-size disk images (files or block\n\
devices) block by block and writes every changed block of the second one,\n\
LZ4-compressed and Base64-encoded, as a stream of JSON lines. It is one\n\
statically linked executable.\n\
.\n\
zev-block-apply writes such a stream into a copy of the first image.\n\
zev-block-manifest writes the SHA-256 of every block of an image into a\n\
small file, and checks an image against it. zev-block-merge folds a chain\n\
of such streams into one.")

  set(CPACK_DEBIAN_SDK-RUNTIME_PACKAGE_NAME libquillonvarde-sdk1)
  set(CPACK_DEBIAN_SDK-RUNTIME_PACKAGE_SECTION libs)
  # The dynamic linker's cache is refreshed through dpkg's ldconfig trigger.
  set(CPACK_DEBIAN_SDK-RUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/libquillonvarde-sdk1/triggers)
  set(CPACK_COMPONENT_SDK-RUNTIME_DESCRIPTION
    "virtual-disk access library for backup agents\n\
libquillonvarde_sdk lets a backup agent read and write the virtual disks of\n\
virtual machines through the HXA disk service, over TCP or TLS, with the\n\
data travelling over the network (LAN transport) or directly on the storage\n\
LUNs attached to the backup node (SAN transport).\n\
.\n\
The library takes its OpenSSL functions from the host process.")

  set(CPACK_DEBIAN_SDK-DEV_PACKAGE_NAME libquillonvarde-sdk-dev)
  set(CPACK_DEBIAN_SDK-DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_SDK-DEV_PACKAGE_ARCHITECTURE amd64)
  set(CPACK_DEBIAN_SDK-DEV_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_SDK-DEV_PACKAGE_DEPENDS
    "libquillonvarde-sdk1 (= ${PROJECT_VERSION}), libssl-dev")
  set(CPACK_COMPONENT_SDK-DEV_DESCRIPTION
    "virtual-disk access library for backup agents - development files\n\
libquillonvarde_sdk lets a backup agent read and write the virtual disks of\n\
virtual machines through the HXA disk service.\n\
.\n\
This package holds the public header, the unversioned link, the pkg-config\n\
file and the CMake package (find_package(quillonvarde_sdk)); both link\n\
OpenSSL into the host, which the library needs from the host process.")

  set(CPACK_DEBIAN_QV-TOOLS_PACKAGE_NAME qv-tools)
  set(CPACK_DEBIAN_QV-TOOLS_PACKAGE_DEPENDS "libquillonvarde-sdk1 (= ${PROJECT_VERSION})")
  set(CPACK_COMPONENT_QV-TOOLS_DESCRIPTION
    "command-line access to virtual disks, and an HXA service simulator\n\
qv-disk reads and writes virtual disks through libquillonvarde_sdk from the\n\
command line, the way a backup agent does, and streams the blocks of a disk\n\
that changed since a backup, against its block manifest. hxa-simulator is a\n\
stand-in for the HXA disk service on loopback, serving disks from local\n\
image files, for trying the library and the tools without a virtualization\n\
platform.")

  # Packages are whole or not made: without the manual pages cpack stops before it writes a
  # package, naming what is missing.
  get_property(missing GLOBAL PROPERTY QV_MAN_MISSING_TOOL)
  if(missing)
    set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/refuse-packages.cmake)
    file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
      "message(FATAL_ERROR \"no packages made: the manual pages need ${missing}, which was not "
      "found when the build was configured; install it (./scripts/install-deps.sh installs it) "
      "and configure again\")\n")
  endif()

  include(CPack)
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL qv_packaging_finish)
