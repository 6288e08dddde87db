# The version built into the programs: the project version and, when the
# source is a git checkout of its own, what `git describe` says about it,
# as in "1.1.0 (v1.1.0-3-g1a2b3c4-dirty)". The text is worked out again at
# every build and the source rewritten only when it changed, so a new commit
# shows without reconfiguring and an unchanged tree links nothing anew.
set(vt_version_source ${PROJECT_BINARY_DIR}/generated/version.cc)
set(vt_version_command ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
    -DVERSION=${PROJECT_VERSION} -DOUTPUT=${vt_version_source}
    -P ${CMAKE_CURRENT_LIST_DIR}/version_text.cmake)
execute_process(COMMAND ${vt_version_command})
add_custom_target(vt_version_text COMMAND ${vt_version_command} BYPRODUCTS ${vt_version_source})
add_library(vt_version STATIC ${vt_version_source})
add_dependencies(vt_version vt_version_text)
