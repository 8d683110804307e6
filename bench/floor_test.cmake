# Checks the bare-C floor program on its own: its usage errors, a short
# schedule with 1 ns slack, and the overdue runs. Called by CTest with FLOOR.

function(run_floor out_var status_var)
  execute_process(COMMAND "${FLOOR}" ${ARGN} INPUT_FILE "${INPUT}" RESULT_VARIABLE status
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(${out_var} "${out}" PARENT_SCOPE)
  set(${status_var} "${status}" PARENT_SCOPE)
endfunction()

set(INPUT /dev/null)
foreach(bad "schedule;2" "schedule;1;fast" "overdue;1;syscall" "overdue;10;sometimes" "stop;0;cancel"
            "stop;3;politely" "nothing")
  run_floor(out status ${bad})
  if(NOT status EQUAL 2)
    message(FATAL_ERROR "tembrix_floor ${bad}: exit status ${status}, expected 2 (usage)")
  endif()
endforeach()

# Three beats 1, 2 and 2 ms from t0: one lateness line each, none negative
# (nanosleep never returns early), the tapping thread's slack at 1 ns and its
# policy normal, then its CPU time from the first beat to the last.
set(INPUT "${CMAKE_CURRENT_BINARY_DIR}/floor_test_offsets.txt")
file(WRITE "${INPUT}" "1000000\n2000000\n2000000\n")
set(three_beats "t0_ns [0-9]+\nlateness_ns [0-9]+\nlateness_ns [0-9]+\nlateness_ns [0-9]+\ncpu_ns [0-9]+\n$")
run_floor(out status schedule 1)
if(NOT status EQUAL 0 OR NOT out MATCHES "^slack_ns 1\npolicy 0\n${three_beats}")
  message(FATAL_ERROR "tembrix_floor schedule 1 (${status}):\n${out}")
endif()
# With rt: SCHED_FIFO where this process may have it, else it taps as it is.
# Linux gives a real-time thread no timer slack at all (it reads as 0).
run_floor(out status schedule 1 rt)
if(NOT status EQUAL 0 OR NOT out MATCHES "^slack_ns [01]\npolicy [01]\n${three_beats}")
  message(FATAL_ERROR "tembrix_floor schedule 1 rt (${status}):\n${out}")
endif()
run_floor(out status schedule default)
if(NOT status EQUAL 0 OR out MATCHES "^slack_ns 1\n")
  message(FATAL_ERROR "tembrix_floor schedule default kept a 1 ns slack or failed (${status}):\n${out}")
endif()
file(WRITE "${INPUT}" "1000\nbad\n")
run_floor(out status schedule 1)
if(NOT status EQUAL 1)
  message(FATAL_ERROR "tembrix_floor accepted a malformed offset (${status})")
endif()

# Overdue: every nanosleep for a negative delay fails with EINVAL; without the
# syscall there is none.
set(INPUT /dev/null)
run_floor(out status overdue 1000 syscall)
if(NOT status EQUAL 0 OR NOT out MATCHES "beats 1000\nelapsed_ns [0-9]+\neinval 1000\n")
  message(FATAL_ERROR "tembrix_floor overdue 1000 syscall (${status}):\n${out}")
endif()
run_floor(out status overdue 1000 nosyscall)
if(NOT status EQUAL 0 OR NOT out MATCHES "einval 0\n")
  message(FATAL_ERROR "tembrix_floor overdue 1000 nosyscall (${status}):\n${out}")
endif()

foreach(mode cancel condvar)
  run_floor(out status stop 2 ${mode})
  if(NOT status EQUAL 0 OR NOT out MATCHES "^stop_ns [0-9]+\nstop_ns [0-9]+\n$")
    message(FATAL_ERROR "tembrix_floor stop 2 ${mode} (${status}):\n${out}")
  endif()
endforeach()
