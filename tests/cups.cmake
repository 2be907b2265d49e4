# Shell tests against the real CUPS: the install rules (a DESTDIR install, cupstestppd,
# lpinfo -m) and a private scheduler printing the sample document through the whole
# filter chain. Both start their own cupsd; they exit 77 (skipped) only where CUPS's
# scheduler is not installed at all.
find_program(QUENMARK_BASH bash REQUIRED)

add_test(NAME cups_install
         COMMAND ${QUENMARK_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh
                 ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR})
set_tests_properties(cups_install PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)

add_test(NAME cups_scheduler
         COMMAND ${QUENMARK_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/cups_scheduler_test.sh
                 $<TARGET_FILE:tavrel_quenbrisk> $<TARGET_FILE:quenmark_inspect>
                 ${QUENMARK_PPD_FILE} ${CMAKE_SOURCE_DIR}/samples/sample.ps)
# The filter inside the scheduler uses the fixed work directory /tmp/quenmark.
set_tests_properties(cups_scheduler PROPERTIES
  TIMEOUT 300
  SKIP_RETURN_CODE 77
  RESOURCE_LOCK quenmark_fixed_paths)
if(QUENMARK_SANITIZE)
  # The scheduler hands these on to the filter. It always sends print-color-mode, with
  # which libcups's cupsMarkOptions leaks through cupsAddOption; only the full (slow)
  # unwinding of allocations sees the libcups caller that the suppression names.
  set_tests_properties(cups_scheduler PROPERTIES ENVIRONMENT
    "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp:print_suppressions=0:fast_unwind_on_malloc=0")
endif()
# The scheduler test measures what it printed with the registration checker.
set_property(TEST cups_scheduler APPEND PROPERTY ENVIRONMENT
  "QUENMARK_REGISTRATION_CHECK=$<TARGET_FILE:registration_check>"
  "QUENMARK_MKRASTER=$<TARGET_FILE:quenmark_mkraster>")
