# Runs the benchmark in smoke mode and checks that it wrote the Markdown table
# and a PNG chart. Called by CTest with JAVA, CLASSPATH, LIBRARY, OUT_DIR, ARGS.

file(REMOVE_RECURSE "${OUT_DIR}")
file(MAKE_DIRECTORY "${OUT_DIR}")
execute_process(
  COMMAND "${JAVA}" -Djava.awt.headless=true "-Dtembrix.library.path=${LIBRARY}"
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
foreach(contender "tembrix" "parkNanos loop" "ScheduledThreadPoolExecutor" "java.util.Timer"
                  "bare C, default slack" "bare C, 1 ns slack")
  string(FIND "${report}" "| ${contender} |" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the report has no table row for ${contender}")
  endif()
endforeach()
if(NOT out MATCHES "\\| contender \\|")
  message(FATAL_ERROR "the table was not printed")
endif()

# A PNG, with its IHDR chunk first: two panels of 640 pixels side by side.
file(READ "${OUT_DIR}/jitter-cdf.png" header LIMIT 24 HEX)
string(SUBSTRING "${header}" 0 16 magic)
string(SUBSTRING "${header}" 24 8 chunk)
string(SUBSTRING "${header}" 32 8 width)
if(NOT magic STREQUAL "89504e470d0a1a0a" OR NOT chunk STREQUAL "49484452")
  message(FATAL_ERROR "no PNG chart was written (${OUT_DIR}/jitter-cdf.png)")
endif()
if(NOT width STREQUAL "00000500")
  message(FATAL_ERROR "the chart is 0x${width} pixels wide, expected 1280 (two panels)")
endif()
