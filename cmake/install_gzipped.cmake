# SPDX-License-Identifier: BSD-2-Clause
# quorlin_install_gzipped(<file> <name> <destination>)
# Installs <file> compressed, as <destination>/<name>.gz, the way Debian
# ships changelogs and man pages. gzip -n leaves out the name and time
# stamp, so every build of a package holds the same bytes.
find_program(QUORLIN_GZIP gzip REQUIRED)

function(quorlin_install_gzipped file name destination)
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/gzipped/${name})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${file} ${copy}
    COMMAND ${QUORLIN_GZIP} -9nf ${copy}
    DEPENDS ${file}
    COMMENT "Compressing ${name}"
    VERBATIM)
  string(MAKE_C_IDENTIFIER "gzip_${name}" target)
  add_custom_target(${target} ALL DEPENDS ${copy}.gz)
  install(FILES ${copy}.gz DESTINATION ${destination})
endfunction()
