# The library jar as a named module, used as a modular application would:
# com.example.click (beside this file) requires drovak.tembrix and taps a short
# rhythm. It runs on the module path on each JDK in JDKS, then is linked with
# jlink, and packaged with jpackage --type app-image where that JDK has it, on
# the last (newest) JDK in JDKS, and the image's and the package's launchers run.
# Native access is enabled as the docs say, on JDK 24 and later: the java
# option, jlink's --add-options, jpackage's --java-options. Every run must tap
# from module drovak.tembrix and print no JVM warning.
# Called by CTest with JAVAC, JAR, SOURCES, OUT_DIR and JDKS, a list of
# "FEATURE|HOME" pairs, oldest first.

set(app com.example.click)
set(main ${app}/com.example.click.Click)
set(enable --enable-native-access=drovak.tembrix)

# step(NAME command...): runs it; fails on a non-zero exit or on a "WARNING".
# Its output is in STEP_OUTPUT.
function(step name)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(JOIN " " line ${ARGN})
  message("${name}: ${line}\n${out}${err}")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${name} failed (${status})")
  endif()
  if("${out}${err}" MATCHES "WARNING")
    message(FATAL_ERROR "${name} printed a warning")
  endif()
  set(STEP_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

# run(NAME command...): a step that must tap from the named module.
function(run name)
  step(${name} ${ARGN})
  if(NOT STEP_OUTPUT MATCHES "click: 3 taps from module drovak.tembrix")
    message(FATAL_ERROR "${name} did not tap from module drovak.tembrix")
  endif()
endfunction()

file(REMOVE_RECURSE "${OUT_DIR}")
file(MAKE_DIRECTORY "${OUT_DIR}")
set(mods "${OUT_DIR}/mods")
step(javac "${JAVAC}" --release 11 -Xlint:all -Werror --module-path "${JAR}" --module-source-path "${SOURCES}"
     -m ${app} -d "${mods}")

foreach(jdk IN LISTS JDKS)
  string(REPLACE "|" ";" jdk "${jdk}")
  list(GET jdk 0 feature)
  list(GET jdk 1 home)
  set(options)
  if(feature GREATER_EQUAL 24)
    set(options ${enable})
  endif()
  run("module path, JDK ${feature}" "${home}/bin/java" ${options} --module-path "${JAR}:${mods}" -m ${main})
endforeach()

# The newest JDK, which the loop leaves in feature, home and options.
set(image "${OUT_DIR}/image")
set(add_options)
if(options)
  set(add_options --add-options=${options})
endif()
step("jlink, JDK ${feature}" "${home}/bin/jlink" --module-path "${JAR}:${mods}" --add-modules ${app}
     --launcher click=${main} ${add_options} --strip-debug --no-header-files --no-man-pages --output "${image}")
run("jlink image" "${image}/bin/click")

if(EXISTS "${home}/bin/jpackage")
  set(java_options)
  if(options)
    set(java_options --java-options ${options})
  endif()
  # A JDK without jmods (Temurin 24 and later) makes jpackage say "Warning: No
  # JDK Modules found"; it links from the JDK's own image all the same.
  step("jpackage, JDK ${feature}" "${home}/bin/jpackage" --type app-image --name click
       --module-path "${JAR}:${mods}" --module ${main} ${java_options} --dest "${OUT_DIR}/app")
  run("jpackage app-image" "${OUT_DIR}/app/click/bin/click")
else()
  message("jpackage: JDK ${feature} has none (${home}/bin/jpackage); not packaged")
endif()
