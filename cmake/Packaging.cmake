# The Debian package: `cpack -G DEB` in the build tree, after a build.
# Its dependencies come from the shared libraries the programs link
# (dpkg-shlibdeps), so they follow whatever the build machine links.
# The name, version and maintainer come from cmake/Install.cmake, which
# writes them into the changelog.
set(CPACK_PACKAGE_NAME terminal-stream-broker)
set(CPACK_PACKAGE_CONTACT ${TSB_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay one shell's terminal as JSON lines")
set(CPACK_PACKAGE_DESCRIPTION
"terminal-stream-broker runs one interactive shell inside a pseudo-terminal
and relays that terminal over its standard input and output as JSON lines,
for editors, IDEs, web terminals and automation tools to embed.
terminal-stream-attach starts the broker and bridges the local terminal to
it, for an interactive shell relayed through the broker.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
include(CPack)
