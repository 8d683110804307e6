# Runs the benchmark in smoke mode and checks that it wrote the Markdown tables,
# idle, under load and of the allocating case, with both modes of the library
# and every contender's CPU time, the CPU case at 10 beats a second, the phase
# case idle and under load, and the PNG charts, and that no spinning process
# outlived it. Called by CTest with JAVA, JAVA_OPTIONS,
# CLASSPATH, LIBRARY, OUT_DIR, ARGS.

file(REMOVE_RECURSE "${OUT_DIR}")
file(MAKE_DIRECTORY "${OUT_DIR}")
execute_process(
  COMMAND "${JAVA}" ${JAVA_OPTIONS} -Djava.awt.headless=true "-Dtembrix.library.path=${LIBRARY}"
          -cp "${CLASSPATH}" drovak.tembrix.bench.BenchCommand --smoke
          "--report=${OUT_DIR}/report.md" "--chart=${OUT_DIR}/jitter-cdf.png" ${ARGS}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
message("${out}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the benchmark failed (${status}):\n${err}")
endif()

file(READ "${OUT_DIR}/report.md" report)
string(FIND "${report}" "## Under load" load_at)
if(load_at EQUAL -1)
  message(FATAL_ERROR "the report has no section under load")
endif()
string(SUBSTRING "${report}" 0 ${load_at} idle)
string(SUBSTRING "${report}" ${load_at} -1 loaded)
# A row with its eight lateness and jitter figures and its two CPU figures.
string(REPEAT " -?[0-9]+\\.[0-9] \\|" 8 _times)
set(_cpu " [0-9]+\\.[0-9] \\| [0-9]+\\.[0-9]+ \\|")
# A phase row's count of changes and its seven figures.
string(REPEAT " -?[0-9]+\\.[0-9] \\|" 7 _phase)
set(_phase " [1-9][0-9]* \\|${_phase}")
foreach(contender "tembrix" "tembrix, precise" "parkNanos loop" "ScheduledThreadPoolExecutor" "java.util.Timer"
                  "bare C, default slack" "bare C, 1 ns slack")
  if(NOT idle MATCHES "\\| ${contender} \\|${_times}${_cpu}")
    message(FATAL_ERROR "the report has no table row with CPU figures for ${contender}")
  endif()
endforeach()
foreach(contender "tembrix" "tembrix, precise" "bare C, real-time")
  if(NOT loaded MATCHES "\\| ${contender} \\|${_times}${_cpu}")
    message(FATAL_ERROR "the report has no table row with CPU figures for ${contender} under load")
  endif()
endforeach()
# The CPU case, and the phase case idle and under load: a row for each way.
foreach(part "## steady 100 ms grid, 10 beats a second" "| CPU per beat | CPU, % of a core |")
  string(FIND "${idle}" "${part}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the report has no '${part}'")
  endif()
endforeach()
string(FIND "${idle}" "## Appending against restarting" idle_phase)
string(FIND "${loaded}" "### Appending against restarting, under load" loaded_phase)
if(idle_phase EQUAL -1 OR loaded_phase EQUAL -1)
  message(FATAL_ERROR "the report lacks the phase case, idle (${idle_phase}) or under load (${loaded_phase})")
endif()
foreach(way "tempo change | appended:" "tempo change | restarted:" "phrase boundary | appended:"
            "phrase boundary | restarted:")
  string(REPLACE "|" "\\|" pattern "| ${way}")
  if(NOT idle MATCHES "${pattern}[^\n|]*\\|${_phase}" OR NOT loaded MATCHES "${pattern}[^\n|]*\\|${_phase}")
    message(FATAL_ERROR "the phase case has no figures for '${way}', idle or under load")
  endif()
endforeach()
foreach(target "tembrix, precise, lateness p99 from the due time ≤ 10 µs |"
               "tembrix, precise, lateness p99 from the due time ≤ 0.1× the default mode's |"
               "| tembrix, precise at 10 beats a second: CPU ≤ 1% of a core |")
  string(FIND "${report}" "${target}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the targets have no '${target}'")
  endif()
endforeach()
# The JDK's MIDI sequencer: its rows, or the reason it could not be opened.
string(FIND "${report}" "| javax.sound.midi.Sequencer |" row)
string(FIND "${report}" "The JDK's MIDI sequencer is left out: " reason)
if(row EQUAL -1 AND reason EQUAL -1)
  message(FATAL_ERROR "the report has neither a row for the MIDI sequencer nor the reason it is left out")
endif()
if(NOT out MATCHES "\\| contender \\|")
  message(FATAL_ERROR "the table was not printed")
endif()
foreach(part "## Under load" "| bare C, real-time |" "Real-time scheduling: tembrix: " "under load, real-time granted")
  string(FIND "${report}" "${part}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the report has no '${part}'")
  endif()
endforeach()
# The allocating case: a row or a reason for each setting, and its targets.
foreach(setting "G1, one CPU" "G1, two CPUs" "Shenandoah, one CPU" "Shenandoah, two CPUs")
  string(FIND "${report}" "| ${setting} |" row)
  string(FIND "${report}" "Not run: ${setting}: " reason)
  if(row EQUAL -1 AND reason EQUAL -1)
    message(FATAL_ERROR "the allocating case has neither a row nor a reason for ${setting}")
  endif()
  string(FIND "${report}" "| allocating tap(), ${setting}: p99 with real-time granted" target)
  if(target EQUAL -1)
    message(FATAL_ERROR "the targets have no row for the allocating case's ${setting}")
  endif()
endforeach()
string(FIND "${report}" "## Allocating tap()" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the report has no allocating case")
endif()
# This build's children only: another build's benchmark may be running beside it.
execute_process(COMMAND pgrep -f "${CLASSPATH} drovak.tembrix.bench.AllocatingTap" OUTPUT_VARIABLE children)
if(NOT children STREQUAL "")
  message(FATAL_ERROR "child JVMs of the allocating case outlived the benchmark: ${children}")
endif()
execute_process(COMMAND pgrep -f "while :; do i=0" OUTPUT_VARIABLE spinners)
if(NOT spinners STREQUAL "")
  message(FATAL_ERROR "spinning processes outlived the benchmark: ${spinners}")
endif()

# PNGs, with their IHDR chunk first: two panels of 640 pixels side by side.
foreach(chart jitter-cdf.png jitter-cdf-under-load.png)
  file(READ "${OUT_DIR}/${chart}" header LIMIT 24 HEX)
  string(SUBSTRING "${header}" 0 16 magic)
  string(SUBSTRING "${header}" 24 8 chunk)
  string(SUBSTRING "${header}" 32 8 width)
  if(NOT magic STREQUAL "89504e470d0a1a0a" OR NOT chunk STREQUAL "49484452")
    message(FATAL_ERROR "no PNG chart was written (${OUT_DIR}/${chart})")
  endif()
  if(NOT width STREQUAL "00000500")
    message(FATAL_ERROR "${chart} is 0x${width} pixels wide, expected 1280 (two panels)")
  endif()
endforeach()
