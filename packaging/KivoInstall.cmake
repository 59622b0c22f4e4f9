# Install rules shared by every target that is installed. Included from the
# top-level CMakeLists.txt before the targets are defined; packaging/
# CMakeLists.txt adds the headers, the package files and the man pages.
#
#   kivo_install_program(<target>)      a program, into bin/ (its man page is
#                                       man/<target>.1, installed with the rest)
#   kivo_install_library(<target>)      a shared library of the SDK: versioned
#                                       (SONAME lib<target>.so.<major>), exported
#                                       as Kivo::<target>
#   kivo_install_module(<target> <dir> [<file>...])
#                                       a module loaded by another program
#                                       (Python, Tcl) into <dir> under the
#                                       prefix, with the files it needs beside it
#   kivo_install_data(<subdir> <file-or-dir>...)
#                                       read-only data of a program, into
#                                       share/kivo/<subdir>
#
# Each sets a run path relative to where the file is installed, so an
# installed tree works wherever its prefix is, and nothing points into the
# build tree. Programs in the build tree keep their build run paths.
include(GNUInstallDirs)

# Where the interpreters' modules go, relative to the prefix: directories
# that Debian's tclsh and python3 search under /usr and /usr/local.
set(KIVO_TCL_INSTALL_DIR lib/tcltk CACHE STRING "Tcl package directory, relative to the prefix")

# The run-path entry from an install directory (relative to the prefix) to
# the library directory.
function(kivo_origin_rpath from out)
  file(RELATIVE_PATH rel /prefix/${from} /prefix/${CMAKE_INSTALL_LIBDIR})
  if(rel STREQUAL "")
    set(${out} "$ORIGIN" PARENT_SCOPE)
  else()
    set(${out} "$ORIGIN/${rel}" PARENT_SCOPE)
  endif()
endfunction()

function(kivo_install_program target)
  kivo_origin_rpath(${CMAKE_INSTALL_BINDIR} rpath)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "${rpath}")
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endfunction()

function(kivo_install_library target)
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR} INSTALL_RPATH "$ORIGIN")
  install(TARGETS ${target} EXPORT KivoTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kivo)
endfunction()

function(kivo_install_module target dir)
  kivo_origin_rpath(${dir} rpath)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "${rpath}")
  install(TARGETS ${target} LIBRARY DESTINATION ${dir} COMPONENT runtime)
  if(ARGN)
    install(FILES ${ARGN} DESTINATION ${dir} COMPONENT runtime)
  endif()
endfunction()

function(kivo_install_data subdir)
  foreach(item ${ARGN})
    if(IS_DIRECTORY ${item})
      install(DIRECTORY ${item} DESTINATION ${CMAKE_INSTALL_DATADIR}/kivo/${subdir} COMPONENT runtime)
    else()
      install(FILES ${item} DESTINATION ${CMAKE_INSTALL_DATADIR}/kivo/${subdir} COMPONENT runtime)
    endif()
  endforeach()
endfunction()
