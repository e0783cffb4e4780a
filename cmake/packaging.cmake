# SPDX-License-Identifier: BSD-2-Clause
# What an install carries beside the programs, and the Debian package that
# `cpack -G DEB` makes of it in the build tree. tests/package builds the
# package, unpacks it and has it speak.

install(FILES ${PROJECT_SOURCE_DIR}/quorlin.conf.example
              ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
quorlin_install_gzipped(${PROJECT_SOURCE_DIR}/CHANGELOG.md changelog ${CMAKE_INSTALL_DOCDIR})

# The package is the build that speaks: without the reference engine the
# module has no engine to ship, and the vendor's library is not ours to
# package.
if(NOT TARGET eci_reference)
  return()
endif()

set(QUORLIN_PACKAGE_MAINTAINER "quorlin developers <quorlin@example.org>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorlin)
set(CPACK_PACKAGE_VENDOR "the quorlin developers")
set(CPACK_PACKAGE_CONTACT "${QUORLIN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "speech output module for a speech server, with a reference engine")
set(CPACK_PACKAGE_DESCRIPTION
"quorlin is a speech output module: a speech server starts it as a child
process and drives it over standard input and output with a line
protocol. It prepares the text, has an ECI engine library synthesise it
and streams the audio back to the server.

This package holds the module, a reference engine built on eSpeak NG
that stands in for the vendor's engine library, and quorlin-say, a
command-line client that speaks text into a WAV file.")
# Installed under /usr: the module's private tree is /usr/<libdir>/quorlin.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUORLIN_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies come from the libraries the binaries link (dpkg-shlibdeps,
# from dpkg-dev): eSpeak NG and libsoxr through the engine, the C and C++
# runtimes through all three. eSpeak NG's library brings its voice data.
# dpkg-shlibdeps follows the module's $ORIGIN/../lib to the private engine.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
