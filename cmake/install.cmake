# Install tree and Debian package.
#
#   bin/transvia                 -> ../lib/transvia/transvia
#   lib/transvia/                the library, the program and the files that ship beside them:
#                                both find their files in the folder of their real path
#   lib/libtransvia.so.0         -> transvia/libtransvia.so.0 (what the loader looks for)
#   lib/libtransvia.so           -> libtransvia.so.0 (what -ltransvia finds)
#   lib/cmake/Transvia/          find_package(Transvia): Transvia::transvia
#   lib/pkgconfig/transvia.pc    pkg-config transvia
#   include/transvia/            the public headers
#   share/man/man1/transvia.1.gz
#
# Every path is relative to the prefix, so one build serves `cmake --install --prefix`
# anywhere and the package's /usr alike.
include(CMakePackageConfigHelpers)

set(TRANSVIA_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/transvia)
set(TRANSVIA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Transvia)

install(TARGETS transvia EXPORT TransviaTargets
        LIBRARY DESTINATION ${TRANSVIA_INSTALL_DIR} NAMELINK_SKIP)
install(TARGETS transvia_cli RUNTIME DESTINATION ${TRANSVIA_INSTALL_DIR})
install(DIRECTORY include/transvia DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${TRANSVIA_SHIPPED_FILES} DESTINATION ${TRANSVIA_INSTALL_DIR})

set(link_root "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}")
install(CODE "
  file(MAKE_DIRECTORY ${link_root}/${CMAKE_INSTALL_BINDIR})
  file(CREATE_LINK ../${TRANSVIA_INSTALL_DIR}/transvia ${link_root}/${CMAKE_INSTALL_BINDIR}/transvia SYMBOLIC)
  file(CREATE_LINK transvia/libtransvia.so.${PROJECT_VERSION_MAJOR}
       ${link_root}/${CMAKE_INSTALL_LIBDIR}/libtransvia.so.${PROJECT_VERSION_MAJOR} SYMBOLIC)
  file(CREATE_LINK libtransvia.so.${PROJECT_VERSION_MAJOR} ${link_root}/${CMAKE_INSTALL_LIBDIR}/libtransvia.so SYMBOLIC)")

# CMake package: the library with ICU passed on, since the public headers use it.
install(EXPORT TransviaTargets NAMESPACE Transvia:: DESTINATION ${TRANSVIA_CMAKE_DIR})
configure_package_config_file(cmake/TransviaConfig.cmake.in ${CMAKE_BINARY_DIR}/TransviaConfig.cmake
                              INSTALL_DESTINATION ${TRANSVIA_CMAKE_DIR})
# The SONAME changes with the major version, and so does compatibility.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TransviaConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/TransviaConfig.cmake ${CMAKE_BINARY_DIR}/TransviaConfigVersion.cmake
        DESTINATION ${TRANSVIA_CMAKE_DIR})

# pkg-config: paths relative to the .pc file itself, for the same reason.
file(RELATIVE_PATH TRANSVIA_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
string(REGEX REPLACE "/$" "" TRANSVIA_PC_TO_PREFIX "${TRANSVIA_PC_TO_PREFIX}")
configure_file(cmake/transvia.pc.in ${CMAKE_BINARY_DIR}/transvia.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/transvia.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The manual page, from the program's own --help, so it never disagrees with it.
find_program(HELP2MAN help2man)
if(HELP2MAN)
  set(man_page ${CMAKE_BINARY_DIR}/man/transvia.1)
  add_custom_command(
    OUTPUT ${man_page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    # Run by name through PATH, so its usage line says "transvia", not the build path.
    COMMAND ${CMAKE_COMMAND} -E env "PATH=$<TARGET_FILE_DIR:transvia_cli>:$ENV{PATH}"
            ${HELP2MAN} --no-info --no-discard-stderr --section 1
            --name "make a restored Windows installation bootable on new hardware"
            --include ${PROJECT_SOURCE_DIR}/cmake/transvia.h2m
            --output ${man_page} transvia
    COMMAND gzip -9nf ${man_page}
    DEPENDS transvia_cli ${PROJECT_SOURCE_DIR}/cmake/transvia.h2m
    COMMENT "Writing the manual page")
  add_custom_target(transvia_man ALL DEPENDS ${man_page}.gz)
  install(FILES ${man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: no manual page (tools/setup.sh installs help2man)")
endif()

# What Debian wants beside every package's files: copyright and a compressed changelog.
configure_file(cmake/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
                   COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/debian/changelog > ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
                   DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog)
add_custom_target(transvia_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz)
install(FILES cmake/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Debian package: cpack -G DEB in the build folder.
set(CPACK_PACKAGE_NAME transvia)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "transvia developers")
set(CPACK_PACKAGE_CONTACT "transvia maintainers <maintainers@users.noreply.c-seed-318bb029.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "makes a restored Windows installation bootable on new hardware")
set(CPACK_PACKAGE_DESCRIPTION
    "transvia works offline on a restored Windows installation mounted as a\n\
folder: it scans driver packages, installs the drivers the new machine\n\
needs to boot and writes the registry hives itself. The package holds the\n\
library libtransvia.so, the transvia program, the files they ship with and\n\
the headers for hosts.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Hosts build against the headers, which use ICU's string class.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libicu-dev, pkg-config")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
install(FILES cmake/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME transvia)
include(CPack)
