# The Windows programs we ship. Each carries a load configuration that has the
# loader resolve its static imports from the system directory only
# (load_config.cpp), and the data-directory entry that points at it, which
# our linker does not write (set-load-config.sh, after each link). The
# programs also import known DLLs only; cmake/windows/CMakeLists.txt reads
# both back.
set(KAVO_LOAD_CONFIG_SOURCE ${CMAKE_CURRENT_LIST_DIR}/load_config.cpp)
set(KAVO_SET_LOAD_CONFIG ${CMAKE_CURRENT_LIST_DIR}/set-load-config.sh)

# Gives `target` the restricting load configuration.
function(kavo_restrict_static_imports target)
  target_sources(${target} PRIVATE ${KAVO_LOAD_CONFIG_SOURCE})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${KAVO_SET_LOAD_CONFIG} $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

# Marks `target` as a program we ship on Windows (no effect elsewhere).
function(kavo_shipped_windows_program target)
  if(NOT WIN32)
    return()
  endif()
  kavo_restrict_static_imports(${target})
  set_property(GLOBAL APPEND PROPERTY KAVO_SHIPPED_WINDOWS_PROGRAMS ${target})
endfunction()
