# Shared by the packaging scripts (cmake -P).
include("${CMAKE_CURRENT_LIST_DIR}/../cmake/QuillmereSources.cmake")

# toolbox/Contents.m carries the version for MATLAB's ver and for users who
# put the checkout's toolbox on the path; it must be the project's.
function(quillmere_check_contents_version source_dir version)
  file(STRINGS "${source_dir}/toolbox/Contents.m" line REGEX "^% Version ")
  if(NOT line STREQUAL "% Version ${version}")
    message(FATAL_ERROR "toolbox/Contents.m says '${line}', the project version is ${version}: "
                        "make its second line '% Version ${version}'")
  endif()
  # help quillmere shows it too.
  file(STRINGS "${source_dir}/toolbox/quillmere.m" line REGEX "^%   quillmere version ")
  if(NOT line STREQUAL "%   quillmere version ${version} (VER lists it too).")
    message(FATAL_ERROR "toolbox/quillmere.m says '${line}', the project version is ${version}")
  endif()
endfunction()

# Archives the folder <stage>/<top> as <archive>; entries are sorted and
# dated SOURCE_DATE_EPOCH (else 2026-01-01), so the same files give the same
# bytes. <format> is gnutar (compressed by the name's .gz) or zip.
function(quillmere_archive stage top archive format)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(mtime "@$ENV{SOURCE_DATE_EPOCH}")
  else()
    set(mtime "2026-01-01 00:00:00 UTC")
  endif()
  set(mode cf)
  if(archive MATCHES "\\.gz$")
    set(mode cfz)
  endif()
  file(GLOB_RECURSE entries LIST_DIRECTORIES false RELATIVE "${stage}" "${stage}/${top}/*")
  list(SORT entries)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E tar ${mode} "${archive}" --format=${format}
                          "--mtime=${mtime}" -- ${entries}
                  WORKING_DIRECTORY "${stage}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "could not write ${archive}")
  endif()
endfunction()

# Copies toolbox/Contents.m to <dest> without its quillmere_build line: the
# package and the bundle ship a built module and no build script.
function(quillmere_copy_contents source_dir dest)
  file(READ "${source_dir}/toolbox/Contents.m" text)
  string(REGEX REPLACE "%[^\n]*quillmere_build[^\n]*\n" "" text "${text}")
  file(WRITE "${dest}" "${text}")
endfunction()
