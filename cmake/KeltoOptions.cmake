# Project-wide switches: warnings, sanitizers, fuzzing. Every target of ours
# links kelto_options so that the flags live in one place.
option(KELTO_WERROR "Treat compiler warnings as errors" ON)
set(KELTO_SANITIZE "" CACHE STRING "Sanitizers to build with: address;undefined or thread")
option(KELTO_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
option(KELTO_BUILD_BENCHMARKS "Build the benchmarks in bench/" ON)

# Rebuilds of the same sources (several presets, fresh clones) can come from
# the compiler cache; the presets turn this on.
option(KELTO_USE_CCACHE "Compile through ccache when it is installed" OFF)
find_program(KELTO_CCACHE ccache)
if(KELTO_USE_CCACHE AND KELTO_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(CMAKE_C_COMPILER_LAUNCHER ${KELTO_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${KELTO_CCACHE})
endif()

add_library(kelto_options INTERFACE)
add_library(kelto::options ALIAS kelto_options)
target_compile_options(kelto_options INTERFACE -Wall -Wextra -Wpedantic)
if(KELTO_WERROR)
  target_compile_options(kelto_options INTERFACE -Werror)
endif()

if(KELTO_SANITIZE)
  string(REPLACE ";" "," _kelto_san "${KELTO_SANITIZE}")
  # Applied globally so that every object of ours is instrumented alike.
  add_compile_options(-fsanitize=${_kelto_san} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${_kelto_san})
  if("undefined" IN_LIST KELTO_SANITIZE)
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

if(KELTO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KELTO_FUZZ needs clang (use the fuzz preset)")
  endif()
  # Coverage feedback from all of our code, not only the fuzz entry points.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
