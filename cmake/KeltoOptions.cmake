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

# The distribution's hardening for the programs we ship: PIE, stack
# protector, fortified libc calls, stack clash protection, control-flow
# protection, read-only relocations bound at start. The flags come from
# dpkg-buildflags where it exists (only its hardening flags: the build type
# keeps deciding optimisation and debug information); what it leaves out,
# or a machine without it, gets the same flags by hand. Sanitizer and fuzz
# builds go without: their runtimes replace the fortified calls, and
# _FORTIFY_SOURCE needs an optimised build (Debug builds skip it).
option(KELTO_HARDEN "Build with the distribution's hardening flags" ON)
if(KELTO_HARDEN AND NOT KELTO_SANITIZE AND NOT KELTO_FUZZ)
  include(CheckCXXCompilerFlag)
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES C CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  set(_kelto_cflags "")
  set(_kelto_ldflags "")
  find_program(KELTO_DPKG_BUILDFLAGS dpkg-buildflags)
  if(KELTO_DPKG_BUILDFLAGS)
    foreach(_kind CPPFLAGS CXXFLAGS LDFLAGS)
      execute_process(
        COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                ${KELTO_DPKG_BUILDFLAGS} --get ${_kind}
        OUTPUT_VARIABLE _kelto_out OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      separate_arguments(_kelto_out UNIX_COMMAND "${_kelto_out}")
      foreach(_flag IN LISTS _kelto_out)
        if(_flag MATCHES "^-(fstack-protector|fstack-clash-protection|fcf-protection|D_FORTIFY_SOURCE)")
          list(APPEND _kelto_cflags ${_flag})
        elseif(_flag MATCHES "^-Wl,-z,(relro|now)$")
          list(APPEND _kelto_ldflags ${_flag})
        endif()
      endforeach()
    endforeach()
  endif()
  foreach(_flag -fstack-protector-strong -fstack-clash-protection -fcf-protection)
    string(REGEX REPLACE "=.*" "" _kelto_stem "${_flag}")
    if(NOT _kelto_cflags MATCHES "${_kelto_stem}")
      string(MAKE_C_IDENTIFIER "KELTO_HAS${_flag}" _kelto_var)
      check_cxx_compiler_flag(${_flag} ${_kelto_var})
      if(${_kelto_var})
        list(APPEND _kelto_cflags ${_flag})
      endif()
    endif()
  endforeach()
  if(NOT _kelto_cflags MATCHES "_FORTIFY_SOURCE")
    list(APPEND _kelto_cflags -D_FORTIFY_SOURCE=2)
  endif()
  foreach(_flag -Wl,-z,relro -Wl,-z,now)
    if(NOT _flag IN_LIST _kelto_ldflags)
      list(APPEND _kelto_ldflags ${_flag})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES _kelto_cflags)
  foreach(_flag IN LISTS _kelto_cflags)
    if(_flag MATCHES "^-D_FORTIFY_SOURCE")
      # A compiler that fortifies by default would see a redefinition.
      add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;${_flag}>")
    else()
      add_compile_options(${_flag})
    endif()
  endforeach()
  add_link_options(${_kelto_ldflags})
  message(STATUS "Hardening: ${_kelto_cflags} ${_kelto_ldflags} PIE")
endif()

if(KELTO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KELTO_FUZZ needs clang (use the fuzz preset)")
  endif()
  # Coverage feedback from all of our code, not only the fuzz entry points.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
