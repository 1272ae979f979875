# Compile options shared by every target of the project.
add_library(quorvi_options INTERFACE)
target_compile_options(quorvi_options INTERFACE -Wall -Wextra)
if(QUORVI_WERROR)
  target_compile_options(quorvi_options INTERFACE -Werror)
endif()
if(QUORVI_SANITIZE)
  target_compile_options(quorvi_options INTERFACE
    -fsanitize=${QUORVI_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(quorvi_options INTERFACE -fsanitize=${QUORVI_SANITIZE})
endif()

# quorvi_add_qtest(<name> SOURCES ... LIBS ... LABELS ... [XVFB] [XVFB_SCREEN WxHxD]
#                  [CHILDREN] [NO_LEAK_CHECK] [TIMEOUT s])
# One QtTest program per area. XVFB runs it on a private X server (1920x1080x24 unless
# XVFB_SCREEN says otherwise); the rest run offscreen.
# CHILDREN: it runs the program and the probe as child processes (QUORVI_BINARY, QUORVI_PROBE).
function(quorvi_add_qtest name)
  cmake_parse_arguments(T "XVFB;CHILDREN;NO_LEAK_CHECK" "TIMEOUT;XVFB_SCREEN" "SOURCES;LIBS;LABELS"
                        ${ARGN})
  add_executable(${name} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/tests/common/WatchdogExitBarrier.cpp)
  target_link_libraries(${name} PRIVATE Qt6::Test quorvi_options ${T_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  if(T_CHILDREN)
    target_compile_definitions(${name} PRIVATE
      QUORVI_BINARY="$<TARGET_FILE:quorvi>" QUORVI_PROBE="$<TARGET_FILE:quorvi_probe>")
    add_dependencies(${name} quorvi quorvi_probe)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
    if(T_XVFB_SCREEN)
    set(T_XVFB ON)
  else()
    set(T_XVFB_SCREEN 1920x1080x24)
  endif()
  if(T_XVFB)
    add_test(NAME ${name}
             COMMAND xvfb-run -a -s "-screen 0 ${T_XVFB_SCREEN}" $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${name})
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT QT_QPA_PLATFORM=offscreen)
  endif()
  if(T_NO_LEAK_CHECK)
    # For tests whose driver threads (Mesa's rasteriser) make the leak checker's stop-the-world
    # crash at exit; address and undefined-behaviour checks stay on.
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1")
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
endfunction()
