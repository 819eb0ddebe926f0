# Run by CPack once the install is staged, before it is packed: the Debian
# package's etc/ is the system's /etc, not /usr/etc.
if(CPACK_GENERATOR STREQUAL "DEB" AND IS_DIRECTORY "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/etc")
  file(RENAME "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/etc" "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/etc")
endif()
