# velmora_add_test(NAME name SOURCES ... LIBS ... LABELS ... [FAKE ui audio sys] [ENV ...] [TIMEOUT s])
# One GoogleTest executable, registered with CTest under its labels. FAKE names the
# platform pieces that this test links from tests/fake instead of the real ones.
find_package(GTest REQUIRED)

# What every test of a sanitizer build runs with: the suppression lists of leaks and races
# that lie wholly inside third-party libraries, a report with its stack, and a failing exit
# on the first undefined behaviour. Set here, so that a plain ctest in the build folder
# judges the same way as the test script.
set(VELMORA_SANITIZER_DIR "${PROJECT_SOURCE_DIR}/tests/sanitizers")
set(VELMORA_SANITIZER_ENV "")
if(VELMORA_SANITIZE STREQUAL "address")
  set(VELMORA_SANITIZER_ENV
    # The full unwinder at each allocation: the sound and font libraries are built without
    # frame pointers, and the fast one stops at their first frame, before any function
    # that a suppression could name.
    "ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:fast_unwind_on_malloc=0"
    "LSAN_OPTIONS=suppressions=${VELMORA_SANITIZER_DIR}/lsan.supp:print_suppressions=0"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
elseif(VELMORA_SANITIZE STREQUAL "thread")
  set(VELMORA_SANITIZER_ENV
    "TSAN_OPTIONS=suppressions=${VELMORA_SANITIZER_DIR}/tsan.supp:second_deadlock_stack=1:print_suppressions=0")
endif()

# velmora_sanitizer_env(test...): adds the sanitizer settings to tests made by add_test.
function(velmora_sanitizer_env)
  if(VELMORA_SANITIZER_ENV)
    foreach(t IN LISTS ARGN)
      set_property(TEST ${t} APPEND PROPERTY ENVIRONMENT ${VELMORA_SANITIZER_ENV})
    endforeach()
  endif()
endfunction()

function(velmora_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENV;FAKE" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  foreach(piece IN LISTS T_FAKE)
    string(TOUPPER "${piece}" piece)
    set_property(TARGET ${T_NAME} PROPERTY VELMORA_${piece} fake)
  endforeach()
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # The sanitizers make the signal analysis several times slower: a limit set for a plain
  # build would end a test that is only slow.
  if(VELMORA_SANITIZE)
    math(EXPR T_TIMEOUT "${T_TIMEOUT} * 4")
  endif()
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
                       WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  if(T_ENV)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
  velmora_sanitizer_env(${T_NAME})
endfunction()
