# SPDX-License-Identifier: BSD-2-Clause
# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on the staged package tree, after
# the install and before the .deb is made, for what belongs to the package
# alone and not to every install:
#   - /etc/quorlin.conf, the recommended configuration, listed as a
#     conffile in the control archive; `cmake --install` never writes to
#     /etc;
#   - lintian's overrides for what only an upload to Debian would need;
#   - the ELF files stripped as Debian strips them: no .comment or .note
#     sections, and the shared library without unneeded symbols.
# Its settings come from packaging.cmake through the CPack configuration.

cmake_policy(VERSION 3.25)

set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
if(NOT IS_DIRECTORY "${root}/usr")
  message(FATAL_ERROR "prepare_package: no staged tree at ${root}")
endif()

# Copied, not installed: CPack sets DESTDIR, which file(INSTALL) would add
# a second time.
file(MAKE_DIRECTORY "${root}/etc")
file(COPY_FILE "${CPACK_QUORLIN_CONFFILE}" "${root}/etc/quorlin.conf")
file(CHMOD "${root}/etc/quorlin.conf" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

set(overrides "${root}/usr/share/lintian/overrides")
file(MAKE_DIRECTORY "${overrides}")
file(COPY_FILE "${CPACK_QUORLIN_LINTIAN_OVERRIDES}" "${overrides}/quorlin")
file(CHMOD "${overrides}/quorlin" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

foreach(path IN LISTS CPACK_QUORLIN_STRIP_PROGRAMS CPACK_QUORLIN_STRIP_LIBRARIES)
  if(NOT EXISTS "${root}${path}")
    message(FATAL_ERROR "prepare_package: ${path} is not in the package")
  endif()
  set(options --remove-section=.comment --remove-section=.note)
  if(path IN_LIST CPACK_QUORLIN_STRIP_LIBRARIES)
    list(APPEND options --strip-unneeded)
  endif()
  execute_process(COMMAND "${CPACK_QUORLIN_STRIP}" ${options} "${root}${path}"
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "prepare_package: ${CPACK_QUORLIN_STRIP} failed on ${path}")
  endif()
endforeach()
