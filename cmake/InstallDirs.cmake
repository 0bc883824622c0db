# Install folders: those of GNUInstallDirs for the prefix /usr, where the packages install.
#
# Debian keeps libraries, with their pkg-config files and CMake packages, in the multiarch
# folder lib/<triplet> (lib/x86_64-linux-gnu), and GNUInstallDirs picks that folder for
# CMAKE_INSTALL_LIBDIR only when the prefix is /usr. The build's prefix stays what it is
# (/usr/local unless given), and the packages are made from the same install rules with the
# prefix /usr: so the relative folders are computed for /usr, whatever the prefix.
# `cmake --install build --prefix DIR` then puts the library into DIR/lib/x86_64-linux-gnu,
# which the dynamic linker, pkg-config and find_package also search under /usr/local.
# A CMAKE_INSTALL_LIBDIR given on the command line is kept (GNUInstallDirs keeps it), and a
# build folder configured before this file existed moves from lib to the multiarch folder.
set(CMAKE_INSTALL_PREFIX /usr) # seen by GNUInstallDirs only: the cache entry is not changed
include(GNUInstallDirs)
unset(CMAKE_INSTALL_PREFIX)
# The absolute forms, for the real prefix.
foreach(dir BINDIR SBINDIR LIBEXECDIR SYSCONFDIR SHAREDSTATEDIR LOCALSTATEDIR RUNSTATEDIR
    LIBDIR INCLUDEDIR OLDINCLUDEDIR DATAROOTDIR DATADIR INFODIR LOCALEDIR MANDIR DOCDIR)
  GNUInstallDirs_get_absolute_install_dir(CMAKE_INSTALL_FULL_${dir} CMAKE_INSTALL_${dir} ${dir})
endforeach()
