# Bounded, deterministic fuzzing pass for ctest:
#   cmake -DFUZZER=... -DWORK_DIR=... -DARTIFACT_DIR=... -DSEED_DIR=...
#         -DRUNS=... -DMAX_LEN=... -P RunBounded.cmake
# The work corpus starts empty on every run, so the result depends only on
# the program, the seed corpus and the options.

foreach(_var FUZZER WORK_DIR ARTIFACT_DIR SEED_DIR RUNS MAX_LEN)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "RunBounded.cmake needs -D${_var}=...")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}" "${ARTIFACT_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}" "${ARTIFACT_DIR}")

# Same inputs, same run: -seed fixes libFuzzer's choices, -reload=0 keeps
# it from rereading the work corpus on a timer, and without address space
# randomisation the addresses that comparisons record for the mutator are
# the same from run to run (setarch -R, where the machine allows it).
set(_launcher)
find_program(_setarch setarch)
if(_setarch)
  execute_process(COMMAND "${_setarch}" -R true RESULT_VARIABLE _setarch_works OUTPUT_QUIET ERROR_QUIET)
  if(_setarch_works EQUAL 0)
    set(_launcher "${_setarch}" -R)
  endif()
endif()
if(NOT _launcher)
  message(STATUS "setarch -R is not available: the run may differ from run to run")
endif()

execute_process(
  COMMAND ${_launcher} "${FUZZER}" -runs=${RUNS} -seed=1 -reload=0 -max_len=${MAX_LEN} -timeout=60
          -rss_limit_mb=4096 -print_final_stats=1 "-artifact_prefix=${ARTIFACT_DIR}/" "${WORK_DIR}" "${SEED_DIR}"
  RESULT_VARIABLE _result)

if(NOT _result EQUAL 0)
  message(FATAL_ERROR "the fuzzer failed (${_result}); reproducers are in ${ARTIFACT_DIR}")
endif()
