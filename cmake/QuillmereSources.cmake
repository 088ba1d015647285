# Reads module_sources.txt (its format is described at its top). Usable from
# a project and from a script (cmake -P).

# quillmere_parse_module_sources(<manifest> <root>) sets in the caller:
#   QUILLMERE_ENTRIES    every entry name in file order ("octave-host" too)
#   files_<entry>        its files, relative to <root>, each checked to exist
macro(quillmere_parse_module_sources manifest root)
  file(STRINGS "${manifest}" _qms_lines)
  set(QUILLMERE_ENTRIES "")
  set(_qms_current "")
  foreach(_qms_line IN LISTS _qms_lines)
    string(REGEX REPLACE "#.*" "" _qms_line "${_qms_line}")
    string(REGEX MATCHALL "[^ \t]+" _qms_words "${_qms_line}")
    foreach(_qms_word IN LISTS _qms_words)
      if(_qms_word MATCHES "^(.+):$")
        set(_qms_current "${CMAKE_MATCH_1}")
        list(APPEND QUILLMERE_ENTRIES "${_qms_current}")
        set(files_${_qms_current} "")
      elseif(_qms_current STREQUAL "")
        message(FATAL_ERROR "${manifest}: '${_qms_word}' comes before the first entry")
      elseif(NOT EXISTS "${root}/${_qms_word}")
        message(FATAL_ERROR "${manifest}: entry ${_qms_current} names a missing file: ${_qms_word}")
      else()
        list(APPEND files_${_qms_current} "${_qms_word}")
      endif()
    endforeach()
  endforeach()
endmacro()

# quillmere_read_module_sources() reads the project's list into:
#   QUILLMERE_MODULES                  the module names, in file order
#   QUILLMERE_MODULE_<name>_SOURCES    all files of module <name>
#   QUILLMERE_MODULE_<name>_GATEWAY    its files outside core/
#   QUILLMERE_CORE_SOURCES             every core/ file of every module, once
#   QUILLMERE_OCTAVE_HOST_SOURCES      the files added for GNU Octave
# Paths are absolute. The list is a configure dependency: an edit re-runs CMake.
function(quillmere_read_module_sources)
  set(root "${PROJECT_SOURCE_DIR}")
  set(manifest "${root}/module_sources.txt")
  set_property(DIRECTORY "${root}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${manifest}")
  quillmere_parse_module_sources("${manifest}" "${root}")
  set(modules "")
  set(core "")
  foreach(entry IN LISTS QUILLMERE_ENTRIES)
    set(all "")
    set(gateway "")
    foreach(f IN LISTS files_${entry})
      list(APPEND all "${root}/${f}")
      if(NOT f MATCHES "^core/")
        list(APPEND gateway "${root}/${f}")
      elseif(NOT entry STREQUAL "octave-host")
        list(APPEND core "${root}/${f}")
      endif()
    endforeach()
    if(entry STREQUAL "octave-host")
      set(QUILLMERE_OCTAVE_HOST_SOURCES ${all} PARENT_SCOPE)
    else()
      list(APPEND modules "${entry}")
      set(QUILLMERE_MODULE_${entry}_SOURCES ${all} PARENT_SCOPE)
      set(QUILLMERE_MODULE_${entry}_GATEWAY ${gateway} PARENT_SCOPE)
    endif()
  endforeach()
  list(REMOVE_DUPLICATES core)
  set(QUILLMERE_MODULES ${modules} PARENT_SCOPE)
  set(QUILLMERE_CORE_SOURCES ${core} PARENT_SCOPE)
endfunction()
