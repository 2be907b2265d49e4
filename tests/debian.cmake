# The Debian packages: built once with dpkg-buildpackage into the build tree (a
# fixture), checked with lintian, then installed with dpkg, used through CUPS and the
# printer application's unit, and purged. The package build has build flags of its own
# and no sanitizers, so a sanitized build does not build the packages a second time.
find_program(QUENMARK_BASH bash REQUIRED)
if(NOT QUENMARK_SANITIZE)
  set(quenmark_packages_dir ${CMAKE_BINARY_DIR}/debian-packages)
  # The document that the installed driver prints through a queue made with lpadmin -m
  # (the registration sheet, measured on what the printer receives), and its pages.
  set(QUENMARK_PACKAGE_TEST_DOCUMENT registration)
  set(QUENMARK_PACKAGE_TEST_PAGES 2)

  add_test(NAME debian_package_build
           COMMAND ${QUENMARK_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/debian_packages.sh build
                   ${CMAKE_SOURCE_DIR} ${quenmark_packages_dir})
  set_tests_properties(debian_package_build PROPERTIES
    TIMEOUT 1200
    SKIP_RETURN_CODE 77
    FIXTURES_SETUP quenmark_debian_packages)

  add_test(NAME debian_package_lintian
           COMMAND ${QUENMARK_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/debian_packages.sh lintian
                   ${quenmark_packages_dir})
  set_tests_properties(debian_package_lintian PROPERTIES
    TIMEOUT 300
    SKIP_RETURN_CODE 77
    FIXTURES_REQUIRED quenmark_debian_packages)

  # dpkg -i writes into CUPS's system directories and the installed filter uses the
  # fixed work directory: no other test of the fixed paths runs meanwhile.
  add_test(NAME debian_package_install
           COMMAND ${QUENMARK_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/debian_packages.sh install
                   ${quenmark_packages_dir} ${QUENMARK_PACKAGE_TEST_DOCUMENT}
                   ${QUENMARK_PACKAGE_TEST_PAGES})
  set_tests_properties(debian_package_install PROPERTIES
    TIMEOUT 600
    SKIP_RETURN_CODE 77
    FIXTURES_REQUIRED quenmark_debian_packages
    RESOURCE_LOCK quenmark_fixed_paths
    ENVIRONMENT "QUENMARK_REGISTRATION_CHECK=$<TARGET_FILE:registration_check>")
endif()
