# Writes the GNU Octave package OUT_DIR/quillmere-VERSION.tar.gz, in the
# layout pkg install expects:
#   DESCRIPTION, INDEX, COPYING   made here (the version is VERSION, the
#                                  CMake project version)
#   inst/                          the toolbox M-files (not quillmere_build.m:
#                                  the package builds through src/)
#   src/                           the sources module_sources.txt lists, the
#                                  headers beside them, and a Makefile made
#                                  here from the same list, which builds
#                                  every module as an oct-file with mkoctfile
#                                  and the exactness flags
# Usage: cmake -DSOURCE_DIR=... -DVERSION=... -DOUT_DIR=... -P make_octave_package.cmake
foreach(var SOURCE_DIR VERSION OUT_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "make_octave_package.cmake: ${var} is not set")
  endif()
endforeach()
include("${CMAKE_CURRENT_LIST_DIR}/dist_common.cmake")
quillmere_check_contents_version("${SOURCE_DIR}" "${VERSION}")

set(name "quillmere-${VERSION}")
set(stage "${OUT_DIR}/stage-octave")
set(top "${stage}/${name}")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${top}/inst" "${top}/src")

# The date comes from SOURCE_DATE_EPOCH when set, so a rebuild can be
# byte-identical.
string(TIMESTAMP today "%Y-%m-%d" UTC)
file(WRITE "${top}/DESCRIPTION" "Name: quillmere
Version: ${VERSION}
Date: ${today}
Author: The quillmere developers
Maintainer: The quillmere developers
Title: Tensor-driven anisotropic diffusion of 3-D volumes
Description: One explicit step of tensor-driven (anisotropic) diffusion of a
 3-D single-precision volume, with caller-supplied stencils and clamped
 edges, exact to the bit on every machine; stencil families, structure and
 diffusion tensors (coherence- and edge-enhancing), a step-size bound and a
 demo.
Categories: Image processing
License: BSD-3-Clause
")
configure_file("${SOURCE_DIR}/LICENSE" "${top}/COPYING" COPYONLY)
configure_file("${CMAKE_CURRENT_LIST_DIR}/octave_package_post_install.m"
               "${top}/post_install.m" COPYONLY)

# inst/: every toolbox M-file but the build script.
file(GLOB mfiles RELATIVE "${SOURCE_DIR}/toolbox" "${SOURCE_DIR}/toolbox/*.m")
list(SORT mfiles)
list(REMOVE_ITEM mfiles quillmere_build.m)
set(functions "")
foreach(m IN LISTS mfiles)
  if(m STREQUAL "Contents.m")
    quillmere_copy_contents("${SOURCE_DIR}" "${top}/inst/Contents.m")
  else()
    configure_file("${SOURCE_DIR}/toolbox/${m}" "${top}/inst/${m}" COPYONLY)
    string(REGEX REPLACE "\\.m$" "" f "${m}")
    string(APPEND functions " ${f}\n")
  endif()
endforeach()
file(WRITE "${top}/INDEX"
     "quillmere >> Tensor-driven anisotropic diffusion of 3-D volumes\nFunctions\n${functions}")

# src/: the listed sources keep their folders, so their includes resolve
# as in the checkout; the headers of those folders come along.
quillmere_parse_module_sources("${SOURCE_DIR}/module_sources.txt" "${SOURCE_DIR}")
set(modules ${QUILLMERE_ENTRIES})
list(REMOVE_ITEM modules octave-host)
set(copied "")
foreach(entry IN LISTS modules ITEMS octave-host)
  foreach(f IN LISTS files_${entry})
    list(APPEND copied "${f}")
    get_filename_component(dir "${f}" DIRECTORY)
    file(GLOB headers RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/${dir}/*.h")
    list(APPEND copied ${headers})
  endforeach()
endforeach()
list(APPEND copied module_sources.txt hosts/octave/exports.map)
list(REMOVE_DUPLICATES copied)
foreach(f IN LISTS copied)
  configure_file("${SOURCE_DIR}/${f}" "${top}/src/${f}" COPYONLY)
endforeach()

# The Makefile. pkg install runs make in src/ with MKOCTFILE set, then
# installs the .oct files; post_install.m puts each module's help beside it.
# Each module builds the Octave host files on its own, naming its entry point.
set(rules "")
set(targets "")
foreach(module IN LISTS modules)
  set(objects "")
  foreach(f IN LISTS files_${module})
    string(REGEX REPLACE "\\.cpp$" ".o" o "${f}")
    string(APPEND objects " ${o}")
  endforeach()
  foreach(f IN LISTS files_octave-host)
    string(REGEX REPLACE "\\.cpp$" ".${module}.o" o "${f}")
    string(APPEND objects " ${o}")
    string(APPEND rules "
${o}: ${f}
\tCXXFLAGS='$(CXXFLAGS) $(EXACT) -DQUILLMERE_MODULE_NAME=${module}' $(MKOCTFILE) -c $< -o $@
")
  endforeach()
  string(APPEND targets " ${module}.oct")
  string(APPEND rules "
${module}.oct:${objects}
\t$(MKOCTFILE) -o $@ $^ $(EXPORTS)
")
endforeach()
file(WRITE "${top}/src/Makefile" "# Builds the modules of this package as oct-files with mkoctfile (made from
# module_sources.txt by make_octave_package.cmake). Every product and sum is
# rounded on its own: contraction is off and fast-math style flags refused.
MKOCTFILE ?= mkoctfile
# Octave's own flags unless the installer gives some; an empty CXXFLAGS
# counts as none (it would build without optimisation).
ifeq ($(strip $(CXXFLAGS)),)
CXXFLAGS := $(shell $(MKOCTFILE) -p CXXFLAGS)
endif
fusing := $(filter -ffast-math -Ofast -funsafe-math-optimizations -fassociative-math \\
  -ffp-contract=fast -ffp-contract=on -mfma -march=native,$(CXXFLAGS))
ifneq ($(fusing),)
$(error CXXFLAGS holds $(fusing), which lets the compiler fuse or reorder floating-point operations; quillmere's results are defined bit for bit. Remove it and install again)
endif
EXACT := -std=c++17 -ffp-contract=off -fno-fast-math -iquote hosts/octave -I.
ifeq ($(OS),Windows_NT)
# MinGW-w64 GCC may spill vector registers with aligned moves to a stack
# Windows does not align (GCC bug 54412): make every such move unaligned.
EXACT += -Wa,-muse-unaligned-vector-move
EXPORTS :=
else
# Only the installer Octave looks for is shown, so the core's names cannot
# clash with another module's.
EXPORTS := -Wl,--version-script=hosts/octave/exports.map
endif

all:${targets}

%.o: %.cpp
\tCXXFLAGS='$(CXXFLAGS) $(EXACT)' $(MKOCTFILE) -c $< -o $@
${rules}
clean:
\trm -f${targets} $(wildcard */*.o */*/*.o)

.PHONY: all clean
")

file(MAKE_DIRECTORY "${OUT_DIR}")
file(GLOB old "${OUT_DIR}/quillmere-*.tar.gz")
if(old)
  file(REMOVE ${old})
endif()
quillmere_archive("${stage}" "${name}" "${OUT_DIR}/${name}.tar.gz" gnutar)
file(REMOVE_RECURSE "${stage}")
message(STATUS "wrote ${OUT_DIR}/${name}.tar.gz")
