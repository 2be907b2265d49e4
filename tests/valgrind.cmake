# The filter under valgrind's memcheck. Not in a sanitizer build: the two do not mix.
find_program(QUENMARK_BASH bash REQUIRED)
if(NOT QUENMARK_SANITIZE)
  add_test(NAME valgrind_filter
           COMMAND ${QUENMARK_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/valgrind_test.sh
                   $<TARGET_FILE:tavrel_quenbrisk> $<TARGET_FILE:quenmark_mkraster>
                   $<TARGET_FILE:quenmark_inspect> ${QUENMARK_PPD_FILE}
                   ${CMAKE_CURRENT_SOURCE_DIR}/valgrind.supp)
  set_tests_properties(valgrind_filter PROPERTIES
    TIMEOUT 300
    SKIP_RETURN_CODE 77
    RESOURCE_LOCK quenmark_fixed_paths)
endif()
