# cmake -DFUZZER=<binary> -DWORK=<dir> -DSEEDS=<dir> -DSECONDS=<n> -P RunFuzzer.cmake
# Runs the fuzzer for SECONDS over a new corpus in WORK plus the seeds; a finding fails.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/corpus" "${WORK}/findings")
execute_process(
  COMMAND "${FUZZER}" -max_total_time=${SECONDS} -timeout=10 "-artifact_prefix=${WORK}/findings/"
          "${WORK}/corpus" "${SEEDS}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "fuzzer failed (${result}); the input is in ${WORK}/findings")
endif()
