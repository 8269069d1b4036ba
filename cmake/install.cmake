# Install rules and the Debian package: only the program, its manual page and
# its documents; the sample host and the test and benchmark tools stay in the
# build tree.
include(GNUInstallDirs)
# Installing and packaging need only the program and its manual page, not
# every test and tool of the tree (make package builds those two first).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# The manual page in the tree reads well in place (man ./lumoxrun.1); the
# installed copy carries the version in its footer and is compressed, as
# Debian wants.
set(LUMOX_MAN_SOURCE ${PROJECT_SOURCE_DIR}/lumoxrun.1)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${LUMOX_MAN_SOURCE})
file(READ ${LUMOX_MAN_SOURCE} man_text)
set(man_footer "\"lumoxrun\" \"User Commands\"")
string(FIND "${man_text}" "${man_footer}" footer_at)
if(footer_at LESS 0)
  message(FATAL_ERROR "lumoxrun.1: its .TH line lost the footer ${man_footer}")
endif()
string(REPLACE "${man_footer}" "\"lumoxrun ${PROJECT_VERSION}\" \"User Commands\"" man_text
       "${man_text}")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/man/lumoxrun.1 CONTENT "${man_text}" @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/lumoxrun.1.gz
                   COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/man/lumoxrun.1
                   DEPENDS ${CMAKE_BINARY_DIR}/man/lumoxrun.1 VERBATIM)
add_custom_target(manpage ALL DEPENDS ${CMAKE_BINARY_DIR}/man/lumoxrun.1.gz)

install(TARGETS lumoxrun RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/man/lumoxrun.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md LICENSE packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(LUMOX_MAINTAINER "lumoxrun developers <lumoxrun@localhost>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumoxrun)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the lumoxrun developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "runs the 32-bit DOS demo lumox.exe natively on Linux")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${LUMOX_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "lumoxrun loads the demo's own 32-bit code into its process, patches the places\n"
    "where the demo would talk to PC hardware or its DOS extender, and stands in for\n"
    "the PC with SDL 1.2: a window with the 320x200 picture in 256 colours, the\n"
    "demo's music and its keys. The demo itself is not included.")
string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
# dpkg-shlibdeps takes SDL's alternatives from the library's symbols file:
# "libsdl1.2debian (>= 1.2.15) | libsdl1.2-compat-shim", and the shim itself
# provides libsdl1.2debian, so either SDL 1.2 implementation satisfies it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
