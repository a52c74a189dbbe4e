# Where things go when installed, and the build tree's mirror of it.
#
# The settings window is a module that quorvantile-sensors loads only for its setup command lines.
# It lives in <libdir>/quorvantile-sensors/ (lib/<multiarch>/… under /usr on Debian), and the
# executable finds it through a path relative to its own folder. The build tree puts the module at
# the same relative place beside build/bin/, so one compiled-in path serves both trees.

include(GNUInstallDirs)

set(QUORVANTILE_SETUP_MODULE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/quorvantile-sensors)
set(QUORVANTILE_SETUP_MODULE_FILE_NAME libquorvantile-setup.so)

# Both are relative to the prefix unless a packager made them absolute; a relative path between the
# two stays the same whatever prefix `cmake --install --prefix` picks later.
file(RELATIVE_PATH QUORVANTILE_SETUP_MODULE_RELATIVE_DIR
  ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR}/quorvantile-sensors)
cmake_path(SET QUORVANTILE_SETUP_MODULE_BUILD_DIR NORMALIZE
  "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${QUORVANTILE_SETUP_MODULE_RELATIVE_DIR}")

# Makes `target` (a MODULE library) the setup module: its file name, its place in the build tree
# and its install rule.
function(quorvantile_setup_module target)
  get_filename_component(name ${QUORVANTILE_SETUP_MODULE_FILE_NAME} NAME_WLE)
  get_filename_component(suffix ${QUORVANTILE_SETUP_MODULE_FILE_NAME} LAST_EXT)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${name}
    SUFFIX ${suffix}
    LIBRARY_OUTPUT_DIRECTORY ${QUORVANTILE_SETUP_MODULE_BUILD_DIR})
  install(TARGETS ${target} LIBRARY DESTINATION ${QUORVANTILE_SETUP_MODULE_INSTALL_DIR})
endfunction()
