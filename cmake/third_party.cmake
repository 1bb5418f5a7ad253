# The well-kept libraries the programs use, as targets that look the same
# in the Linux build and in a cross build for Windows:
#   dravel_cli11   CLI11, command lines (header only)
#   dravel_json    nlohmann-json, the report's JSON (header only)
#   dravel_gcrypt  libgcrypt, the image's SHA-256
# Debian's header-only packages live in /usr/include, which a cross build
# must not search as a whole (glibc's headers are there too): their folders
# are linked into one of the build's own.

set(dravel_third_party_include ${CMAKE_BINARY_DIR}/third_party/include)
file(MAKE_DIRECTORY ${dravel_third_party_include})

function(dravel_header_library target header folder package)
  find_path(${target}_DIR ${header} PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ${target}_DIR)
    message(FATAL_ERROR "${header} not found: install Debian's ${package}")
  endif()
  file(CREATE_LINK ${${target}_DIR}/${folder} ${dravel_third_party_include}/${folder} SYMBOLIC)
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${dravel_third_party_include})
endfunction()

dravel_header_library(dravel_cli11 CLI/CLI.hpp CLI libcli11-dev)
dravel_header_library(dravel_json nlohmann/json.hpp nlohmann nlohmann-json3-dev)

add_library(dravel_gcrypt INTERFACE)
if(WIN32)
  # Static, so that the program runs without DLLs beside it.
  find_library(DRAVEL_GCRYPT_LIBRARY NAMES libgcrypt.a gcrypt REQUIRED)
  find_library(DRAVEL_GPG_ERROR_LIBRARY NAMES libgpg-error.a gpg-error REQUIRED)
  find_path(DRAVEL_GCRYPT_INCLUDE gcrypt.h REQUIRED)
  target_include_directories(dravel_gcrypt SYSTEM INTERFACE ${DRAVEL_GCRYPT_INCLUDE})
  target_link_libraries(dravel_gcrypt INTERFACE ${DRAVEL_GCRYPT_LIBRARY} ${DRAVEL_GPG_ERROR_LIBRARY} ws2_32)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(DRAVEL_GCRYPT REQUIRED IMPORTED_TARGET libgcrypt)
  target_link_libraries(dravel_gcrypt INTERFACE PkgConfig::DRAVEL_GCRYPT)
endif()
