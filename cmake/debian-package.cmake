# `cpack -G DEB` in a build folder (or scripts/package) makes the Debian
# package: binary, manual page, systemd unit and its settings file.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

set(CPACK_PACKAGE_NAME kelmar-host-perfdata)
set(CPACK_PACKAGE_VERSION "0.0~git${KELMAR_REVISION}")
set(CPACK_PACKAGE_CONTACT "kelmar-host-perfdata maintainers <maintainers@users.noreply.c-seed-6b4cbfbb.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host performance counters for Prometheus")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${PROJECT_SOURCE_DIR}/packaging/debian/description)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# The install rules write the unit for the prefix they see, so they must see
# /usr, with the files staged through DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.invalid/kelmar-host-perfdata")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Installed as the distribution's own (prefix /usr), Debian policy wants the
# manual page and the changelog compressed with gzip -9n.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(root \"\$ENV{DESTDIR}/usr\")
    execute_process(COMMAND gzip -9nf \"\${root}/${CMAKE_INSTALL_MANDIR}/man8/kelmar-host-perfdata.8\"
                    COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND gzip -9nc \"${PROJECT_SOURCE_DIR}/packaging/debian/changelog\"
                    OUTPUT_FILE \"\${root}/${CMAKE_INSTALL_DOCDIR}/changelog.gz\"
                    COMMAND_ERROR_IS_FATAL ANY)
    file(CHMOD \"\${root}/${CMAKE_INSTALL_DOCDIR}/changelog.gz\"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
")

include(CPack)
