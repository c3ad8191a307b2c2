# The Debian package: `cmake --build build --target package` makes tervik_<version>_<arch>.deb
# with Tervik.clap in /usr/lib/clap (where CLAP hosts look on Linux) and tervik-host in
# /usr/bin; its Depends come from the libraries the two files link (dpkg-shlibdeps).
install(TARGETS Tervik LIBRARY DESTINATION lib/clap
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(TARGETS tervik-host RUNTIME DESTINATION bin)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/tervik)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tervik)
set(CPACK_PACKAGE_VENDOR Morvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Multi-stage bus limiter (CLAP plug-in) and its command-line host")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Morvane <tervik@morvane.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://morvane.example/tervik")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Tervik is a stereo lookahead true-peak limiter loaded as a CLAP plug-in. Several
instances on one bus find each other and form a chain that any one editor shows
and edits. The package holds the plug-in (/usr/lib/clap/Tervik.clap) and
tervik-host, a command-line CLAP host that renders audio through a chain of stages.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The editor draws with OpenGL through the system's GLX driver, loaded at run time.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libgl1-mesa-dri")
include(CPack)
