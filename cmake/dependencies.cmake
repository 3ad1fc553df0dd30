# Third-party code comes from Debian packages only; nothing is downloaded.

if(KAVO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(KAVO_TSAN)
  # Asio brackets each handler call with fences, which ThreadSanitizer does
  # not model; the handoffs it checks go through the scheduler's mutex, which
  # it does see.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
  add_link_options(-fsanitize=thread)
endif()

if(WIN32)
  set(KAVO_BACKEND win32)
  add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE)
else()
  set(KAVO_BACKEND posix)
  find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
  find_package(Threads REQUIRED)
endif()

# The header-only libraries, one target each, so that a layer sees only the
# ones it links: pure code gets JSON but not Asio.
add_library(kavo_json INTERFACE)
add_library(kavo_asio INTERFACE)
# Asio picks its frame allocator by whether the standard library has been
# seen before its own configuration, so a file that includes Asio first
# would allocate with operator new what another frees with free(). One choice
# for every file keeps the pair matched.
target_compile_definitions(kavo_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED
                                               ASIO_DISABLE_STD_ALIGNED_ALLOC)
if(WIN32)
  # The same trap with threads: MinGW's <pthread.h>, which <thread> and
  # <mutex> pull in, defines _POSIX_THREADS, and Asio then builds its internal
  # threads on pthreads in a file that saw it first and on Win32 threads in
  # one that did not. The io_context's timer thread, started as the one kind
  # and joined as the other, waits on a pthread id taken for a handle, and
  # the service's process never ends after it has stopped. Pthreads for every
  # file.
  target_compile_definitions(kavo_asio INTERFACE ASIO_HAS_PTHREADS)
  # The cross compiler must not see the host's /usr/include, so each library
  # is exposed through a directory of its own.
  foreach(library json asio)
    if(library STREQUAL "json")
      set(entries nlohmann)
    else()
      set(entries asio asio.hpp)
    endif()
    set(dir ${CMAKE_BINARY_DIR}/third_party_include/${library})
    file(MAKE_DIRECTORY ${dir})
    foreach(entry ${entries})
      if(NOT EXISTS /usr/include/${entry})
        message(FATAL_ERROR "/usr/include/${entry} is missing: install libasio-dev and nlohmann-json3-dev")
      endif()
      file(CREATE_LINK /usr/include/${entry} ${dir}/${entry} SYMBOLIC)
    endforeach()
    target_include_directories(kavo_${library} SYSTEM INTERFACE ${dir})
  endforeach()
endif()

# GoogleTest from Debian's sources, so both toolchains run the same version.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

if(CMAKE_CROSSCOMPILING)
  # Every Windows test runs under Wine in a prefix that lives in this build
  # directory; the wrapper creates it once.
  set(KAVO_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE @ONLY)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
  # The prefix is made by a setup test of its own that every test requires,
  # never inside the first test that happens to run.
  add_test(NAME wine_prefix COMMAND ${CMAKE_BINARY_DIR}/wine-run.sh --prepare)
  set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 300)
endif()

# Registers the GoogleTest cases of `target` with CTest, each with the test
# properties given after PROPERTIES; under Wine each also needs the prefix.
function(kavo_discover_tests target)
  cmake_parse_arguments(ARG "" "" "PROPERTIES" ${ARGN})
  set(properties ${ARG_PROPERTIES})
  if(CMAKE_CROSSCOMPILING)
    list(APPEND properties FIXTURES_REQUIRED wine_prefix)
  endif()
  if(properties)
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                         PROPERTIES ${properties})
  else()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)
  endif()
endfunction()

# Marks plain CTest tests that run a Windows program as needing the prefix.
function(kavo_requires_wine_prefix)
  if(CMAKE_CROSSCOMPILING)
    set_property(TEST ${ARGN} APPEND PROPERTY FIXTURES_REQUIRED wine_prefix)
  endif()
endfunction()

# Warnings for our own code only.
set(KAVO_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
# gcc 12 pairs the allocation inside Asio's coroutine frame allocator with the
# frame's own operator delete, which hands the memory back to that same
# allocator, and reports a mismatch wherever it inlines the allocation. The
# pairing is Asio's and correct, so that one report is off for our code.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND KAVO_WARNINGS -Wno-mismatched-new-delete)
endif()
