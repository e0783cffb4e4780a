# SPDX-License-Identifier: BSD-2-Clause
# What an install carries beside the programs, and the Debian package that
# `cpack -G DEB` makes of it in the build tree. tests/package builds the
# package, unpacks it, has it speak and runs lintian on it.

install(FILES ${PROJECT_SOURCE_DIR}/quorlin.conf.example
              ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
quorlin_install_gzipped(${PROJECT_SOURCE_DIR}/CHANGELOG.md changelog ${CMAKE_INSTALL_DOCDIR})

# Debian's usual hardening for the programs we ship, in the builds that
# are shipped (not in Debug builds, where the sanitizers run): checked
# buffer functions, stack protection, and relocations made read-only
# before the program runs. QUORLIN_HARDENING=OFF leaves them to the
# distribution's own flags.
if(QUORLIN_HARDENING)
  set(quorlin_release_config $<CONFIG:Release,RelWithDebInfo,MinSizeRel>)
  foreach(t quorlin_runtime quorlin_entry quorlin_text quorlin_config quorlin_adapter
            quorlin_engine_library quorlin eci_reference quorlin_say)
    if(TARGET ${t})
      target_compile_options(${t} PRIVATE
        $<${quorlin_release_config}:-D_FORTIFY_SOURCE=2 -fstack-protector-strong>)
    endif()
  endforeach()
  foreach(t quorlin eci_reference quorlin_say)
    if(TARGET ${t})
      target_link_options(${t} PRIVATE $<${quorlin_release_config}:LINKER:-z,relro,-z,now>)
    endif()
  endforeach()
endif()

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
# The module loads the private engine at run time, so only the engine's
# own file names eSpeak NG and libsoxr.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The module opens ICU at run time, when a text first needs it, so no
# link names it: the package names the library of the ICU it was built
# with.
string(REGEX MATCH "^[0-9]+" quorlin_icu_major "${ICU_VERSION}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libicu${quorlin_icu_major}")
# A Debian revision, so that the package's own changelog is
# changelog.Debian.gz beside the upstream changelog.gz; its first entry
# names this version (the package test checks it).
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
quorlin_install_gzipped(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian changelog.Debian
  ${CMAKE_INSTALL_DOCDIR})
# The recommended configuration, /etc/quorlin.conf, is the package's own:
# a conffile, so that dpkg keeps the administrator's changes on upgrade.
# packaging/prepare_package.cmake puts it into the staged tree and strips
# the binaries as Debian does (CPack's own strip leaves .comment).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/prepare_package.cmake)
# One configuration text: /etc/quorlin.conf is the commented example.
set(CPACK_QUORLIN_CONFFILE ${PROJECT_SOURCE_DIR}/quorlin.conf.example)
set(CPACK_QUORLIN_LINTIAN_OVERRIDES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides)
set(CPACK_QUORLIN_STRIP ${CMAKE_STRIP})
set(CPACK_QUORLIN_STRIP_PROGRAMS
  /usr/${QUORLIN_INSTALL_MODULEDIR}/bin/quorlin /usr/${CMAKE_INSTALL_BINDIR}/quorlin-say)
set(CPACK_QUORLIN_STRIP_LIBRARIES /usr/${QUORLIN_INSTALL_MODULEDIR}/lib/libibmeci50.so)
include(CPack)
