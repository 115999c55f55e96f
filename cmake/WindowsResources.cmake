# Each Windows program carries its version information (the company as the settings key names
# it) and an application manifest: asInvoker, so that a standard account is never asked for
# elevation, and per-monitor DPI aware.
function(relvix_windows_resources target description)
  if(NOT WIN32)
    return()
  endif()
  set(RELVIX_RC_NAME "${target}")
  set(RELVIX_RC_DESCRIPTION "${description}")
  set(RELVIX_RC_MANIFEST "${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/windows/program.manifest.in" "${RELVIX_RC_MANIFEST}" @ONLY)
  configure_file("${PROJECT_SOURCE_DIR}/cmake/windows/program.rc.in" "${CMAKE_CURRENT_BINARY_DIR}/${target}.rc" @ONLY)
  target_sources(${target} PRIVATE "${CMAKE_CURRENT_BINARY_DIR}/${target}.rc")
endfunction()
