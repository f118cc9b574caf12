# Compiler settings shared by every target of our own.
function(tindrel_compile_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wno-gnu-zero-variadic-macro-arguments)
  if(TINDREL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(TINDREL_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=undefined -fno-sanitize=function,vptr)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

# tindrel_add_test(NAME tst_foo SOURCES a.cpp [LIBS extra...] [LABELS desktop] [TIMEOUT s])
# One executable per test, linked against the libraries the app links. Label "desktop" marks
# tests that need the X server, the D-Bus session or the sound server of the test script.
function(tindrel_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  tindrel_compile_options(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE tindrel_testsupport ${T_LIBS})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set(labels ${T_LABELS})
  if(NOT labels)
    set(labels unit)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${labels}")
  # Desktop tests talk to the X server of the test script; the rest stay off-screen.
  if("desktop" IN_LIST labels)
    set(env "QT_QPA_PLATFORM=xcb")
  else()
    set(env "QT_QPA_PLATFORM=offscreen")
  endif()
  if(TINDREL_SANITIZE)
    list(APPEND env
      "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0"
      "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0"
      "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  endif()
  set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}")
  if(T_TIMEOUT)
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
endfunction()
