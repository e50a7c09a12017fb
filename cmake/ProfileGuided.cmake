# Profile-guided optimisation of the core (GCC 11 or later).
#
# The block codec's match search is a loop of short, data-dependent steps:
# which candidates are skipped after one byte, which chains end early.  A
# compiler laying it out from static guesses keeps the wrong paths straight
# and spills the chain link on the hot one; with a profile of a real run it
# keeps the skip path in registers and falls through it, and the whole
# compress takes about 6 % less CPU.  The profile changes only how the code
# runs, never what it writes: every decision stays in the source.
#
# How: every core library gets an instrumented twin (<name>_pgo_gen); a
# trainer linked against the twins (cmake/pgo_train.cpp) compresses the
# sample files kept in tests/data with both engines and reads them back
# (cmake/pgo_train.cmake).  Its counts are then renamed to the objects of the
# real libraries, which are compiled with them.  A failed training run leaves
# the profile empty and the build goes on without it.
#
# Off with -DSARN_PGO=OFF (pip: -Ccmake.define.SARN_PGO=OFF), and always off
# for other compilers, sanitizer and debug builds, cross builds and source
# trees without the sample files.

option(SARN_PGO "Optimise the core with a profile of its own run over the sample files in tests/data (GCC 11 or later)" ON)

set(SARN_PGO_SAMPLES airports.csv birdstrikes.csv flights-3m.csv sp500-2000.csv zipcodes.csv ubuntu.csv)
list(TRANSFORM SARN_PGO_SAMPLES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/tests/data/)

set(SARN_PGO_ACTIVE OFF)
if(SARN_PGO)
  set(_why "")
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR CMAKE_CXX_COMPILER_VERSION VERSION_LESS 11)
    set(_why "needs GCC 11 or later")
  elseif(SARN_SANITIZE)
    set(_why "not with sanitizers")
  elseif(NOT CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
    set(_why "only for optimised builds")
  elseif(CMAKE_CROSSCOMPILING)
    set(_why "the training run cannot run on this host")
  elseif(NOT (SARN_BUILD_PYTHON OR SARN_BUILD_TESTS))
    set(_why "the training run is the sarn command, which this build leaves out")
  else()
    foreach(_sample IN LISTS SARN_PGO_SAMPLES)
      if(NOT EXISTS ${_sample})
        set(_why "${_sample} is missing")
      endif()
    endforeach()
  endif()
  if(_why)
    message(STATUS "Profile-guided optimisation: off (${_why})")
  else()
    set(SARN_PGO_ACTIVE ON)
    message(STATUS "Profile-guided optimisation: on")
  endif()
endif()

set(SARN_PGO_DIR ${CMAKE_BINARY_DIR}/pgo)
set(SARN_PGO_RAW_DIR ${SARN_PGO_DIR}/raw)          # the instrumented run writes here
set(SARN_PGO_PROFILE_DIR ${SARN_PGO_DIR}/profile)  # the renamed counts the build reads
set(SARN_PGO_STAMP ${SARN_PGO_DIR}/profile.stamp)
# Functions with internal linkage (anonymous namespaces: most of the codec)
# are found in the counts by their number in the source file rather than by
# a hash that includes the object's path, which differs between a library
# and its twin.  Count files are named after the object's path from the
# build folder, not from the root: a name made of the whole path passes the
# file system's limit of 255 bytes once the build sits a few folders deep.
set(SARN_PGO_COMMON --param=profile-func-internal-id=1 -fprofile-prefix-path=${CMAKE_BINARY_DIR})
set(SARN_PGO_GENERATE ${SARN_PGO_COMMON} -fprofile-generate=${SARN_PGO_RAW_DIR} -fprofile-update=prefer-atomic)

# Makes `name` (a core library, its dependencies already given this
# treatment) compile with the profile, and creates its instrumented twin:
# the same sources, linked to the twins of the libraries `name` links.  For
# the interface library that gathers the core, only the twin is made.
function(sarn_pgo_library name)
  if(NOT SARN_PGO_ACTIVE)
    return()
  endif()
  get_target_property(kind ${name} TYPE)
  if(kind STREQUAL "INTERFACE_LIBRARY")
    add_library(${name}_pgo_gen INTERFACE)
    set(scope INTERFACE)
  else()
    get_target_property(sources ${name} SOURCES)
    get_target_property(includes ${name} INCLUDE_DIRECTORIES)
    add_library(${name}_pgo_gen STATIC EXCLUDE_FROM_ALL ${sources})
    target_include_directories(${name}_pgo_gen PUBLIC ${includes})
    target_compile_options(${name}_pgo_gen PRIVATE ${SARN_PGO_GENERATE})
    set(scope PUBLIC)
  endif()
  get_target_property(deps ${name} INTERFACE_LINK_LIBRARIES)
  foreach(dep IN LISTS deps)
    if(TARGET ${dep}_pgo_gen)
      target_link_libraries(${name}_pgo_gen ${scope} ${dep}_pgo_gen)
    else()
      target_link_libraries(${name}_pgo_gen ${scope} ${dep})
    endif()
  endforeach()
  if(kind STREQUAL "INTERFACE_LIBRARY")
    return()
  endif()

  # Functions the training run never reached are optimised as without a
  # profile rather than for size.
  target_compile_options(${name} PRIVATE ${SARN_PGO_COMMON} -fprofile-use=${SARN_PGO_PROFILE_DIR}
                                         -fprofile-partial-training -Wno-missing-profile)
  # The real objects are compiled after the training run.  They wait for it
  # without depending on its counts file by file: the twins share their
  # sources, and a source that changes is compiled again anyway, after a
  # new run (the counts of an unchanged one only ever go slightly stale).
  add_dependencies(${name} sarn_pgo_profile)
endfunction()

# The training run, once the instrumented command `trainer` exists.
function(sarn_pgo_training trainer)
  if(NOT SARN_PGO_ACTIVE)
    return()
  endif()
  add_custom_command(
    OUTPUT ${SARN_PGO_STAMP}
    COMMAND ${CMAKE_COMMAND} -DTRAINER=$<TARGET_FILE:${trainer}> "-DSAMPLES=${SARN_PGO_SAMPLES}"
            -DRAW_DIR=${SARN_PGO_RAW_DIR} -DPROFILE_DIR=${SARN_PGO_PROFILE_DIR} -DWORK_DIR=${SARN_PGO_DIR}/work
            -DSTAMP=${SARN_PGO_STAMP} -P ${PROJECT_SOURCE_DIR}/cmake/pgo_train.cmake
    DEPENDS ${trainer} ${SARN_PGO_SAMPLES} ${PROJECT_SOURCE_DIR}/cmake/pgo_train.cmake
    COMMENT "Profiling the core on the sample files"
    VERBATIM)
  add_custom_target(sarn_pgo_profile DEPENDS ${SARN_PGO_STAMP})
endfunction()
