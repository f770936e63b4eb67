# `cpack -G DEB` in a build folder (or scripts/package) makes the Debian
# package: binary, manual page, systemd unit and its settings file.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

# Debian's own tools name the maker of a package by DEBFULLNAME and DEBEMAIL;
# without them, whoever committed the packaged source answers for it, and
# where neither is known (a release archive, a committer without a real mail
# host) the project's maintainers do, as the FreeBSD port names them. The
# project has no web site, so the package names no Homepage.
set(KELMAR_MAINTAINER "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
if("$ENV{DEBFULLNAME}" STREQUAL "" OR "$ENV{DEBEMAIL}" STREQUAL "")
  execute_process(COMMAND git log -1 --format=%cn%x20<%ce> WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE KELMAR_MAINTAINER OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT KELMAR_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ .]+(\\.[^<>@ .]+)+>$")
  file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/freebsd/sysutils/kelmar-host-perfdata/Makefile
       port_maintainer REGEX "^MAINTAINER=")
  string(REGEX REPLACE "^MAINTAINER=[ \t]*" "" port_maintainer "${port_maintainer}")
  set(KELMAR_MAINTAINER "kelmar-host-perfdata maintainers <${port_maintainer}>")
endif()

set(CPACK_PACKAGE_NAME kelmar-host-perfdata)
set(CPACK_PACKAGE_VERSION "${KELMAR_PACKAGE_VERSION}")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_CONTACT "${KELMAR_MAINTAINER}")
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
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)

# One entry, for the packaged source, dated as its commit (string(TIMESTAMP)
# reads SOURCE_DATE_EPOCH), so that the same source gives the same package.
if(KELMAR_COMMIT_TIME AND NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${KELMAR_COMMIT_TIME})
endif()
string(TIMESTAMP KELMAR_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in
               ${PROJECT_BINARY_DIR}/changelog.Debian @ONLY)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Installed as the distribution's own (prefix /usr), Debian policy wants the
# manual page and the changelog compressed with gzip -9n, and the binary
# stripped as dh_strip strips it (the compiler's .comment too). Lintian's
# overrides say why the rest of what it notes is as intended.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(root \"\$ENV{DESTDIR}/usr\")
    execute_process(COMMAND gzip -9nf \"\${root}/${CMAKE_INSTALL_MANDIR}/man8/kelmar-host-perfdata.8\"
                    COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND gzip -9nc \"${PROJECT_BINARY_DIR}/changelog.Debian\"
                    OUTPUT_FILE \"\${root}/${CMAKE_INSTALL_DOCDIR}/changelog.Debian.gz\"
                    COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                            --strip-unneeded \"\${root}/${CMAKE_INSTALL_BINDIR}/kelmar-host-perfdata\"
                    COMMAND_ERROR_IS_FATAL ANY)
    file(INSTALL \"${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides\"
         DESTINATION /usr/share/lintian/overrides RENAME kelmar-host-perfdata
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(CHMOD \"\${root}/${CMAKE_INSTALL_DOCDIR}/changelog.Debian.gz\"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
")

include(CPack)
