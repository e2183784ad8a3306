# Runs one libFuzzer target for a bounded time. New inputs go to a fresh
# working corpus; the checked-in seeds are only read. A finding (crash, leak,
# sanitizer report, failed check, timeout) fails the test and leaves the
# input in WORK/ as crash-*, leak-*, timeout-* or oom-*.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus)
set(arguments -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048 -max_len=8192
              -print_final_stats=1 -artifact_prefix=${WORK}/)
if(EXISTS ${DICTIONARY})
    list(APPEND arguments -dict=${DICTIONARY})
endif()
execute_process(COMMAND ${FUZZER} ${arguments} ${WORK}/corpus ${SEEDS} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${FUZZER} found a failing input (exit ${result}); see ${WORK}")
endif()
