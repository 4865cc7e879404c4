# Install rules: both programs, their man pages, and the documentation, in
# the directories GNUInstallDirs names (`cmake --install`, and the package).
include(GNUInstallDirs)

# One name for the documentation directory, the package's: Debian looks
# for the copyright file there.
set(TSB_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/terminal-stream-broker)

install(TARGETS terminal-stream-broker terminal-stream-attach
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Man pages and the changelog are installed compressed with gzip -9n, as
# Debian's policy asks (-n: no name or time stamp, so builds are
# reproducible).
find_program(TSB_GZIP gzip REQUIRED)
set(TSB_COMPRESSED_DOCS)
function(tsb_compress source output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${output}.tmp
    COMMAND ${TSB_GZIP} -9 -n -f ${output}.tmp
    COMMAND ${CMAKE_COMMAND} -E rename ${output}.tmp.gz ${output}
    DEPENDS ${source}
    VERBATIM)
  set(TSB_COMPRESSED_DOCS ${TSB_COMPRESSED_DOCS} ${output} PARENT_SCOPE)
endfunction()

foreach(page terminal-stream-broker.1 terminal-stream-attach.1)
  tsb_compress(${PROJECT_SOURCE_DIR}/man/${page} ${PROJECT_BINARY_DIR}/man/${page}.gz)
  install(FILES ${PROJECT_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# The changelog names the package's version and maintainer.
if(PROJECT_VERSION)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
else()
  set(CPACK_PACKAGE_VERSION 0.1.0)
endif()
set(TSB_PACKAGE_MAINTAINER "terminal-stream-broker developers <maintainers@terminal-stream-broker.invalid>"
  CACHE STRING "Maintainer of the Debian package, as Name <address>")
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
tsb_compress(${PROJECT_BINARY_DIR}/packaging/changelog ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_target(tsb_compressed_docs ALL DEPENDS ${TSB_COMPRESSED_DOCS})

install(FILES
  ${PROJECT_SOURCE_DIR}/README.md
  ${PROJECT_SOURCE_DIR}/packaging/copyright
  ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  DESTINATION ${TSB_INSTALL_DOCDIR})
