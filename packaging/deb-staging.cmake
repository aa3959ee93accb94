# Runs inside cpack once the files are staged. A Debian package wants its manual page and
# changelog compressed with gzip -9n and a copyright file; a plain install wants none of that.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")
file(COPY "${CPACK_SCATTERDISK_PACKAGING_DIR}/copyright" DESTINATION "${doc}")
file(COPY "${CPACK_SCATTERDISK_PACKAGING_DIR}/changelog" DESTINATION "${doc}")
# Debian also drops the compiler's notes that cpack's strip keeps.
execute_process(COMMAND "${CPACK_SCATTERDISK_STRIP}" --remove-section=.comment --remove-section=.note
                        "${root}/bin/scatterdisk" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "strip ${root}/bin/scatterdisk failed")
endif()
foreach(f "${root}/share/man/man1/scatterdisk.1" "${doc}/changelog")
  execute_process(COMMAND gzip -9nf "${f}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${f} failed")
  endif()
endforeach()
