# Third-party code comes from Debian packages only; nothing is downloaded.

if(KAVO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(KAVO_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(WIN32)
  set(KAVO_BACKEND win32)
  add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE)
  # The cross compiler must not see the host's /usr/include, so the header-only
  # libraries are exposed through a directory of their own.
  set(KAVO_HEADERS_DIR ${CMAKE_BINARY_DIR}/third_party_include)
  file(MAKE_DIRECTORY ${KAVO_HEADERS_DIR})
  foreach(entry asio asio.hpp nlohmann)
    if(NOT EXISTS /usr/include/${entry})
      message(FATAL_ERROR "/usr/include/${entry} is missing: install libasio-dev and nlohmann-json3-dev")
    endif()
    file(CREATE_LINK /usr/include/${entry} ${KAVO_HEADERS_DIR}/${entry} SYMBOLIC)
  endforeach()
else()
  set(KAVO_BACKEND posix)
  set(KAVO_HEADERS_DIR "")
  find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
  find_package(Threads REQUIRED)
endif()

add_library(kavo_third_party INTERFACE)
if(KAVO_HEADERS_DIR)
  target_include_directories(kavo_third_party SYSTEM INTERFACE ${KAVO_HEADERS_DIR})
endif()
target_compile_definitions(kavo_third_party INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)

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
endif()

# Warnings for our own code only.
set(KAVO_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
