# Release packages: on Linux a Debian package and a tarball of krt460, for Windows a zip of
# KRT460.exe and the per-user MSI. The version comes from project() and nowhere else.
set(KRT460_MAINTAINER "KRT460 <krt460@example.org>" CACHE STRING
    "Who answers for the packages, as a release names them: Name <address>")
set(CPACK_PACKAGE_VENDOR "The KRT460 developers")
set(CPACK_PACKAGE_CONTACT ${KRT460_MAINTAINER})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
    install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_NAME KRT460)
    set(CPACK_PACKAGE_FILE_NAME KRT460-${PROJECT_VERSION}-windows-x64)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)

    # The per-user installer (target msi): wixl from the .wxs, which takes the version from
    # here, in a folder of the files it holds: stripped copies of both programs (the command in
    # cli/), the README, the licence and the icon.
    set(KRT460_MSI_FILES ${CMAKE_BINARY_DIR}/msi-files)
    set(KRT460_MSI ${CMAKE_BINARY_DIR}/${CPACK_PACKAGE_FILE_NAME}.msi)
    configure_file(${CMAKE_SOURCE_DIR}/res/krt460.wxs.in ${CMAKE_BINARY_DIR}/generated/krt460.wxs
                   @ONLY)
    find_program(WIXL wixl)
    if(WIXL AND TARGET krt460)
        add_custom_command(OUTPUT ${KRT460_MSI}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${KRT460_MSI_FILES}/cli
            COMMAND ${CMAKE_STRIP} -o ${KRT460_MSI_FILES}/KRT460.exe $<TARGET_FILE:KRT460>
            COMMAND ${CMAKE_STRIP} -o ${KRT460_MSI_FILES}/cli/krt460.exe $<TARGET_FILE:krt460>
            COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/README.md
                    ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/res/krt460.ico
                    ${KRT460_MSI_FILES}
            COMMAND ${CMAKE_COMMAND} -E chdir ${KRT460_MSI_FILES}
                    ${WIXL} --arch x64 -o ${KRT460_MSI} ${CMAKE_BINARY_DIR}/generated/krt460.wxs
            DEPENDS KRT460 krt460 ${CMAKE_BINARY_DIR}/generated/krt460.wxs
                    ${CMAKE_SOURCE_DIR}/res/krt460.ico ${CMAKE_SOURCE_DIR}/README.md
                    ${CMAKE_SOURCE_DIR}/LICENSE
            VERBATIM)
        add_custom_target(msi DEPENDS ${KRT460_MSI})
    endif()
else()
    # The documentation folder as Debian expects it: the licence in the machine-readable
    # copyright file (made from LICENSE), and a changelog compressed as Debian compresses it.
    file(READ ${CMAKE_SOURCE_DIR}/LICENSE licence)
    string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" copyright_line "${licence}")
    set(KRT460_COPYRIGHT ${CMAKE_MATCH_1})
    string(REGEX REPLACE "^.*Copyright [^\n]*\n+" "" licence "${licence}")
    string(STRIP "${licence}" licence)
    string(REPLACE "\n\n" "\n.\n" licence "${licence}")
    string(REPLACE "\n" "\n " KRT460_LICENCE_TEXT " ${licence}")
    configure_file(${CMAKE_SOURCE_DIR}/cmake/debian-copyright.in
                   ${CMAKE_BINARY_DIR}/generated/copyright @ONLY)
    string(TIMESTAMP KRT460_RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/debian-changelog.in
                   ${CMAKE_BINARY_DIR}/generated/changelog @ONLY)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/generated/changelog.gz
                       COMMAND gzip -9nc changelog > changelog.gz
                       WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/generated
                       DEPENDS ${CMAKE_BINARY_DIR}/generated/changelog VERBATIM)
    add_custom_target(krt460_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/generated/changelog.gz)
    install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_BINARY_DIR}/generated/copyright
                  ${CMAKE_BINARY_DIR}/generated/changelog.gz
            DESTINATION share/doc/krt460)
    set(CPACK_GENERATOR DEB TGZ)
    set(CPACK_PACKAGE_NAME krt460)
    set(CPACK_PACKAGE_FILE_NAME krt460-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
        "Fetch the screen of a 160 x 160 dot instrument over a serial line as BMP or PNG")
    # CPack indents each line and marks an empty one; lines stay below 80 characters, and
    # double quotes would break CPack's configuration file.
    set(CPACK_PACKAGE_DESCRIPTION [=[
krt460 receives the screen of a measuring instrument with a 160 x 160 dot
display: the printer-style hardcopy (3328 bytes) that the instrument sends
over a serial line at 9600 baud, 8N1, when its print key is pressed. It
stores the picture as a monochrome BMP or a 1-bit PNG, at up to 8 times
its size.

Its commands: receive captures one print; listen captures print after print
into a folder, waits for an adapter that is unplugged, and runs unattended
as the systemd service krt460-listen@ (installed, not enabled), each print
with a small record of its verdict; serve shows those folders as a live,
read-only web gallery (the service krt460-gallery, installed, not enabled);
decode turns a recorded hardcopy into a picture; ports lists the serial
ports present without opening any.]=])
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # The services' user and folder (sysusers.d, tmpfiles.d) at installation; systemd told of
    # the units, running ones restarted after an upgrade and stopped at removal, as
    # dh_installsystemd's scripts do (tests/package_scripts_test.sh).
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/cmake/debian/postinst
        ${CMAKE_SOURCE_DIR}/cmake/debian/prerm ${CMAKE_SOURCE_DIR}/cmake/debian/postrm)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    # python3-krt460_VERSION_ARCH.deb in the build folder, beside CPack's (scripts/package.sh).
    if(TARGET _krt460)
        add_custom_target(python_deb
            COMMAND bash ${CMAKE_SOURCE_DIR}/python/make_deb.sh ${CMAKE_BINARY_DIR}
                    ${CMAKE_BINARY_DIR}/python/krt460 ${PROJECT_VERSION}
                    ${PYTHON_VERSION_MAJOR}.${PYTHON_VERSION_MINOR} ${KRT460_MAINTAINER}
                    ${CMAKE_BINARY_DIR}/generated/copyright
                    ${CMAKE_BINARY_DIR}/generated/changelog.gz
            DEPENDS _krt460 krt460_changelog VERBATIM)
    endif()
endif()

include(CPack)
