# Install rules. The filter goes where the CUPS scheduler looks for filters, the PPD
# where `lpinfo -m` (cups-driverd) finds driver files, and the tools and their manual
# pages into the usual bin and man directories.
#
# CUPS looks for filters and models only in its own fixed directories, whatever the
# install prefix is, so both come from cups-config as absolute paths: an install into
# the default prefix /usr/local (or into a DESTDIR) still lands where CUPS looks. The
# prefix-relative fallbacks only serve machines without the CUPS development files;
# packagers may set either cache variable.
include(GNUInstallDirs)

find_program(CUPS_CONFIG_EXECUTABLE cups-config)

function(quenmark_cups_config option result)
  set(value "")
  if(CUPS_CONFIG_EXECUTABLE)
    execute_process(
      COMMAND ${CUPS_CONFIG_EXECUTABLE} ${option}
      OUTPUT_VARIABLE value
      OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE status
      ERROR_QUIET)
    if(NOT status EQUAL 0 OR NOT IS_ABSOLUTE "${value}")
      set(value "")
    endif()
  endif()
  set(${result} "${value}" PARENT_SCOPE)
endfunction()

quenmark_cups_config(--serverbin quenmark_cups_serverbin)
quenmark_cups_config(--datadir quenmark_cups_datadir)

if(quenmark_cups_serverbin)
  set(quenmark_default_filter_dir "${quenmark_cups_serverbin}/filter")
else()
  # CUPS keeps its programs under lib/cups on every platform, never lib64 or a
  # multiarch directory.
  set(quenmark_default_filter_dir "lib/cups/filter")
endif()
if(quenmark_cups_datadir)
  set(quenmark_default_ppd_dir "${quenmark_cups_datadir}/model/quenmark")
else()
  # cups-driverd also scans <prefix>/share/ppd for /usr and /usr/local.
  set(quenmark_default_ppd_dir "${CMAKE_INSTALL_DATADIR}/ppd/quenmark")
endif()

set(QUENMARK_CUPS_FILTER_DIR "${quenmark_default_filter_dir}" CACHE PATH
    "Directory the CUPS filter is installed into (CUPS's ServerBin/filter)")
set(QUENMARK_CUPS_PPD_DIR "${quenmark_default_ppd_dir}" CACHE PATH
    "Directory the PPD is installed into (a directory that lpinfo -m scans)")

# The scheduler refuses filters that are group- or world-writable.
install(TARGETS tavrel_quenbrisk
        RUNTIME DESTINATION "${QUENMARK_CUPS_FILTER_DIR}"
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                    GROUP_READ GROUP_EXECUTE
                    WORLD_READ WORLD_EXECUTE)

install(FILES "${QUENMARK_PPD_FILE}"
        DESTINATION "${QUENMARK_CUPS_PPD_DIR}"
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

install(TARGETS quenmark_convert quenmark_inspect quenmark_mkraster
        RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES man/quenmark_convert.1 man/quenmark_inspect.1 man/quenmark_mkraster.1
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
# The printer application's page, where the application is built.
if(TARGET quenmark-printer-app)
  install(FILES man/quenmark-printer-app.8 DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")
endif()

message(STATUS "quenmark: filter installs into ${QUENMARK_CUPS_FILTER_DIR}")
message(STATUS "quenmark: PPD installs into ${QUENMARK_CUPS_PPD_DIR}")
