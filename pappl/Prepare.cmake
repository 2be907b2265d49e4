# Unpacks Debian's source of PAPPL into SOURCE_DIR, afresh, and applies PATCHES (a list,
# in order) with patch -p1. Run by the build whenever the tarball or a patch changes.
file(REMOVE_RECURSE "${SOURCE_DIR}" "${SOURCE_DIR}.unpack")
file(MAKE_DIRECTORY "${SOURCE_DIR}.unpack")
file(ARCHIVE_EXTRACT INPUT "${TARBALL}" DESTINATION "${SOURCE_DIR}.unpack")
file(GLOB unpacked LIST_DIRECTORIES true "${SOURCE_DIR}.unpack/*")
list(LENGTH unpacked count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "${TARBALL} does not hold one top directory")
endif()
file(RENAME "${unpacked}" "${SOURCE_DIR}")
file(REMOVE_RECURSE "${SOURCE_DIR}.unpack")
foreach(patch IN LISTS PATCHES)
  execute_process(COMMAND patch -p1 --batch --forward --silent -i "${patch}"
                  WORKING_DIRECTORY "${SOURCE_DIR}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "the patch ${patch} does not apply to ${TARBALL}")
  endif()
endforeach()
