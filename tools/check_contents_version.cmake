# Fails unless toolbox/Contents.m and the help of toolbox/quillmere.m carry
# the project version.
# Usage: cmake -DSOURCE_DIR=... -DVERSION=... -P check_contents_version.cmake
include("${CMAKE_CURRENT_LIST_DIR}/dist_common.cmake")
quillmere_check_contents_version("${SOURCE_DIR}" "${VERSION}")
message(STATUS "toolbox/Contents.m: Version ${VERSION}")
