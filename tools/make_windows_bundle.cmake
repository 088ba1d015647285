# Writes the Windows bundle OUT_DIR/quillmere-VERSION-win64.zip: one folder
# quillmere-VERSION-win64/ holding the built modules (MODULES, a list of
# .mexw64 files), the toolbox M-files (not quillmere_build.m: the bundle has
# no sources), README.md and LICENSE. Adding that one folder to MATLAB's
# path makes everything callable; the help files sit beside the modules.
# Usage: cmake -DSOURCE_DIR=... -DVERSION=... -DOUT_DIR=... -DMODULES=... -P make_windows_bundle.cmake
foreach(var SOURCE_DIR VERSION OUT_DIR MODULES)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "make_windows_bundle.cmake: ${var} is not set")
  endif()
endforeach()
include("${CMAKE_CURRENT_LIST_DIR}/dist_common.cmake")
quillmere_check_contents_version("${SOURCE_DIR}" "${VERSION}")

set(name "quillmere-${VERSION}-win64")
set(stage "${OUT_DIR}/stage-windows")
set(top "${stage}/${name}")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${top}")

foreach(module IN LISTS MODULES)
  if(NOT EXISTS "${module}")
    message(FATAL_ERROR "make_windows_bundle.cmake: no module ${module}")
  endif()
  configure_file("${module}" "${top}/" COPYONLY)
endforeach()
file(GLOB mfiles "${SOURCE_DIR}/toolbox/*.m")
list(FILTER mfiles EXCLUDE REGEX "/(quillmere_build|Contents)\\.m$")
foreach(m IN LISTS mfiles)
  configure_file("${m}" "${top}/" COPYONLY)
endforeach()
quillmere_copy_contents("${SOURCE_DIR}" "${top}/Contents.m")
configure_file("${SOURCE_DIR}/README.md" "${top}/README.md" COPYONLY)
configure_file("${SOURCE_DIR}/LICENSE" "${top}/LICENSE" COPYONLY)

file(MAKE_DIRECTORY "${OUT_DIR}")
file(GLOB old "${OUT_DIR}/quillmere-*-win64.zip")
if(old)
  file(REMOVE ${old})
endif()
quillmere_archive("${stage}" "${name}" "${OUT_DIR}/${name}.zip" zip)
file(REMOVE_RECURSE "${stage}")
message(STATUS "wrote ${OUT_DIR}/${name}.zip")
