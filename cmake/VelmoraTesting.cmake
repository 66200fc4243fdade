# velmora_add_test(NAME name SOURCES ... LIBS ... LABELS ... [FAKE ui audio sys] [ENV ...] [TIMEOUT s])
# One GoogleTest executable, registered with CTest under its labels. FAKE names the
# platform pieces that this test links from tests/fake instead of the real ones.
find_package(GTest REQUIRED)

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
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
                       WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  if(T_ENV)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
endfunction()
