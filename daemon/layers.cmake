# The daemon's layers, one library each, each seeing and linking only what is
# below it:
#
#   kavo_program   program/: kavo-daemon's entry, the one place that sees both
#                  the service host and the installer
#   kavo_host      host/: the service and its pipe server
#   kavo_install   install/: installing and removing the service
#   kavo_ctl       ctl/: the kavo-ctl console tool, a client of the service;
#                  it sees the protocol and the shared names only
#   kavo_ipc       ipc/: the pipe protocol and request handling
#   kavo_core      core/: protected directories, staging, supervisor, log
#   kavo_async     async/: the asynchronous mutex and the blocking pool
#   kavo_service   service/: what every part agrees on: the service's names,
#                  where its files are, its configuration and identity
#   kavo_platform  platform/ and its backend: the only code with OS headers
#   kavo_pure      pure decision code from every layer: no I/O, no Asio, no
#                  backend; the fuzz targets and the clang build link it alone
#
# host and install sit side by side and never see each other. Every library
# compiles against an include tree of its own that holds only the headers it
# may use, and so does each pure source, with the pure headers its layer may
# use: an include that climbs a layer, or crosses between host and install,
# does not compile.

set(KAVO_SRC ${CMAKE_CURRENT_LIST_DIR}/src)

# What the code of each layer (a folder of src/) may include: its own
# headers and those of the layers below it.
set(KAVO_SEES_platform platform)
set(KAVO_SEES_async platform async)
set(KAVO_SEES_service platform service)
set(KAVO_SEES_core platform async service core)
set(KAVO_SEES_ipc ${KAVO_SEES_core} ipc)
set(KAVO_SEES_host ${KAVO_SEES_ipc} host)
set(KAVO_SEES_install ${KAVO_SEES_ipc} install)
set(KAVO_SEES_program ${KAVO_SEES_ipc} host install program)
set(KAVO_SEES_ctl platform service ipc ctl)

# Pure sources, and the headers pure code may include (each source's own
# header is added below).
set(KAVO_PURE_SOURCES
  platform/hex.cpp
  platform/secret.cpp
  platform/utf.cpp
  ipc/client_records.cpp
  ipc/frame.cpp
  ipc/json_reader.cpp
  ipc/json_writer.cpp
  ipc/status_answer.cpp
  ipc/record_json.cpp
  ipc/records.cpp
  core/exit_status.cpp
  core/lease.cpp
  core/log_line.cpp
  core/redact.cpp
  core/rename_retry.cpp
  core/runtime_entry_name.cpp
  service/service_config.cpp
  host/stop_channel.cpp
  host/service_lifecycle.cpp
  program/program_mode.cpp
  install/directory_claim.cpp
  install/install_names.cpp
  install/install_outcome.cpp
  install/service_registration.cpp
  ctl/ctl_command.cpp)
set(KAVO_PURE_HEADERS
  platform/command_line.h
  platform/file_attributes.h
  platform/native_string.h
  platform/os_error.h
  platform/path.h
  platform/result.h
  platform/service_parameters.h
  core/log_rotation.h
  ipc/lease_answers.h
  service/service_names.h
  service/service_pipe.h)

# Builds the include tree `dir` from links to the directories or files
# `entries` (relative to src/).
function(kavo_include_tree dir)
  file(REMOVE_RECURSE ${dir})
  foreach(entry ${ARGN})
    get_filename_component(parent ${dir}/${entry} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${KAVO_SRC}/${entry} ${dir}/${entry} SYMBOLIC)
  endforeach()
endfunction()

# The pure library under `name`, with its include tree; used by the product
# build and, with other flags, by the fuzz build.
function(kavo_add_pure_library name)
  set(headers ${KAVO_PURE_HEADERS})
  set(sources)
  foreach(source ${KAVO_PURE_SOURCES})
    string(REGEX REPLACE "\\.cpp$" ".h" header ${source})
    list(APPEND headers ${header})
    list(APPEND sources ${KAVO_SRC}/${source})
  endforeach()
  set(tree ${CMAKE_BINARY_DIR}/layers/${name})
  kavo_include_tree(${tree} ${headers})
  add_library(${name} STATIC ${sources})
  # Each of its sources sees only the pure headers of the layers that its
  # own layer sees. The driven layers that link it see their headers through
  # trees of their own; the fuzz targets name `tree`, which holds them all.
  target_link_libraries(${name} PUBLIC kavo_json)
  set(built)
  foreach(source ${KAVO_PURE_SOURCES})
    string(REGEX MATCH "^[a-z]+" layer ${source})
    if(NOT layer IN_LIST built)
      set(seen)
      foreach(header ${headers})
        string(REGEX MATCH "^[a-z]+" owner ${header})
        if(owner IN_LIST KAVO_SEES_${layer})
          list(APPEND seen ${header})
        endif()
      endforeach()
      kavo_include_tree(${tree}-${layer} ${seen})
      list(APPEND built ${layer})
    endif()
    set_source_files_properties(${KAVO_SRC}/${source} PROPERTIES
                                INCLUDE_DIRECTORIES ${tree}-${layer})
  endforeach()
endfunction()

# The sources of `dirs` (relative to src/) that are neither pure nor program
# entry points.
function(kavo_layer_sources out)
  set(sources)
  foreach(dir ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS ${KAVO_SRC}/${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  foreach(source ${KAVO_PURE_SOURCES})
    list(REMOVE_ITEM sources ${KAVO_SRC}/${source})
  endforeach()
  list(FILTER sources EXCLUDE REGEX "_main\\.cpp$")
  set(${out} ${sources} PARENT_SCOPE)
endfunction()

# One driven layer: `name` built from `dirs`, seeing what `layer` sees,
# linking `below`.
function(kavo_add_layer name)
  cmake_parse_arguments(ARG "" "LAYER" "DIRS;BELOW" ${ARGN})
  kavo_layer_sources(sources ${ARG_DIRS})
  set(tree ${CMAKE_BINARY_DIR}/layers/${name})
  kavo_include_tree(${tree} ${KAVO_SEES_${ARG_LAYER}})
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PRIVATE ${tree})
  target_compile_options(${name} PRIVATE ${KAVO_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_BELOW})
endfunction()
