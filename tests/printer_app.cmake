# The printer application's tests: a real server on a free loopback port, driven over IPP
# and HTTP, with ipptool's IPP Everywhere tests and a real CUPS queue as client.
if(TARGET quenmark-printer-app)
  # The test server and its IPP helpers, for the tests and the load test alike.
  add_library(quenmark_app_server STATIC app/AppServer.cpp)
  target_include_directories(quenmark_app_server PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/app)
  target_link_libraries(quenmark_app_server PUBLIC quenmark_test_support quenmark_cups)
  target_compile_definitions(quenmark_app_server PUBLIC
    QUENMARK_APP_PATH="$<TARGET_FILE:quenmark-printer-app>"
    QUENMARK_APP_LSAN_SUPPRESSIONS="${CMAKE_CURRENT_SOURCE_DIR}/app/pappl_lsan.supp")
  add_dependencies(quenmark_app_server quenmark-printer-app)

  add_executable(printer_app_test app/printer_app_test.cpp app/server_test.cpp)
  target_link_libraries(printer_app_test PRIVATE quenmark_app_server GTest::gtest_main)
  set(app_test_properties TIMEOUT 600 RESOURCE_LOCK quenmark_fixed_paths)
  if(QUENMARK_SANITIZE)
    list(APPEND app_test_properties ENVIRONMENT
         "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp:print_suppressions=0")
  endif()
  gtest_discover_tests(printer_app_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ${app_test_properties})

  add_executable(page_drawing_test app/page_drawing_test.cpp)
  target_link_libraries(page_drawing_test PRIVATE quenmark_app GTest::gtest_main)
  gtest_discover_tests(page_drawing_test)
endif()

if(TARGET quenmark-printer-app)
  add_test(NAME printer_app_ipptool
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/app_ipptool_test.sh
                   $<TARGET_FILE:quenmark-printer-app> $<TARGET_FILE:quenmark_mkraster>)
  set_tests_properties(printer_app_ipptool PROPERTIES TIMEOUT 900 SKIP_RETURN_CODE 77
                       RESOURCE_LOCK quenmark_fixed_paths)
endif()

if(TARGET quenmark-printer-app)
  add_test(NAME printer_app_cups_client
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/app_cups_client_test.sh
                   $<TARGET_FILE:quenmark-printer-app> $<TARGET_FILE:tavrel_quenbrisk>
                   $<TARGET_FILE:quenmark_inspect> ${CMAKE_SOURCE_DIR}/samples/sample.ps)
  set_tests_properties(printer_app_cups_client PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77
                       RESOURCE_LOCK quenmark_fixed_paths)
endif()

# The server under load (app_load.cpp says how); the long run is scripts/load-test.sh.
if(TARGET quenmark-printer-app)
  add_executable(app_load app/app_load.cpp)
  target_link_libraries(app_load PRIVATE quenmark_app_server Threads::Threads)
  add_test(NAME printer_app_load COMMAND app_load --clients 8 --jobs 160 --bound 60)
  set_tests_properties(printer_app_load PROPERTIES TIMEOUT 900)
endif()
