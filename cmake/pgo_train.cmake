# The training run of the profile-guided build (see ProfileGuided.cmake):
# the instrumented trainer goes through the sample files, then the counts it
# left are renamed from the instrumented objects to the real ones.
#
# Variables: TRAINER, SAMPLES (a list), RAW_DIR, PROFILE_DIR, WORK_DIR, STAMP.

# Counts from an earlier run would add to this one's (or, after a source
# change, be refused), so every run starts from nothing.
file(REMOVE_RECURSE ${RAW_DIR} ${PROFILE_DIR} ${WORK_DIR})
file(MAKE_DIRECTORY ${RAW_DIR} ${PROFILE_DIR} ${WORK_DIR})

execute_process(COMMAND ${TRAINER} ${WORK_DIR} ${SAMPLES} RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  # A profile of half a run would mislead the compiler more than none.
  message(WARNING "Profile-guided optimisation: the training run failed (${rc}), "
                  "building without a profile.\n${err}")
else()
  # Each count file is named after its object's path, with '/' as '#' (or
  # sits at that path below RAW_DIR when GCC finds the name too long):
  # CMakeFiles#sarn_codec_pgo_gen.dir#... becomes CMakeFiles#sarn_codec.dir#...
  file(GLOB_RECURSE counts RELATIVE ${RAW_DIR} ${RAW_DIR}/*.gcda)
  if(NOT counts)
    message(WARNING "Profile-guided optimisation: the training run left no counts, building without a profile.")
  endif()
  foreach(name IN LISTS counts)
    string(REPLACE "_pgo_gen.dir#" ".dir#" real ${name})
    string(REPLACE "_pgo_gen.dir/" ".dir/" real ${real})
    get_filename_component(folder ${PROFILE_DIR}/${real} DIRECTORY)
    file(MAKE_DIRECTORY ${folder})
    file(RENAME ${RAW_DIR}/${name} ${PROFILE_DIR}/${real})
  endforeach()
endif()
file(REMOVE_RECURSE ${RAW_DIR} ${WORK_DIR})
file(TOUCH ${STAMP})
