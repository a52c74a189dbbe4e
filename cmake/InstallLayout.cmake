# Where things go when installed, and the build tree's mirror of it.
#
# Two modules are loaded by quorvantile-sensors at run time, each only when needed: the settings
# window (for the setup command lines) and the signature verifier (when a peer's executable must
# first be verified). They live in <libdir>/quorvantile-sensors/ (lib/<multiarch>/… under /usr on
# Debian), and the executable finds them through a path relative to its own folder. The build tree
# puts the modules at the same relative place beside build/bin/, so one compiled-in path serves both
# trees.

include(GNUInstallDirs)

set(QUORVANTILE_MODULE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/quorvantile-sensors)
set(QUORVANTILE_SETUP_MODULE_FILE_NAME libquorvantile-setup.so)
set(QUORVANTILE_VERIFIER_MODULE_FILE_NAME libquorvantile-verifier.so)

# Both are relative to the prefix unless a packager made them absolute; a relative path between the
# two stays the same whatever prefix `cmake --install --prefix` picks later.
file(RELATIVE_PATH QUORVANTILE_MODULE_RELATIVE_DIR
  ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR}/quorvantile-sensors)
cmake_path(SET QUORVANTILE_MODULE_BUILD_DIR NORMALIZE
  "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${QUORVANTILE_MODULE_RELATIVE_DIR}")

# Makes `target` (a MODULE library) one of the executable's modules: its file name `file_name`, its
# place in the build tree and its install rule.
function(quorvantile_module target file_name)
  get_filename_component(name ${file_name} NAME_WLE)
  get_filename_component(suffix ${file_name} LAST_EXT)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${name}
    SUFFIX ${suffix}
    LIBRARY_OUTPUT_DIRECTORY ${QUORVANTILE_MODULE_BUILD_DIR})
  install(TARGETS ${target} LIBRARY DESTINATION ${QUORVANTILE_MODULE_INSTALL_DIR})
endfunction()
