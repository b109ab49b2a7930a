# Release packages: on Linux a Debian package and a tarball of krt460, for Windows a zip of
# KRT460.exe. The version comes from project() and nowhere else.
set(CPACK_PACKAGE_VENDOR "The KRT460 developers")
set(CPACK_PACKAGE_CONTACT "KRT460 developers <krt460@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
    install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_NAME KRT460)
    set(CPACK_PACKAGE_FILE_NAME KRT460-${PROJECT_VERSION}-windows-x64)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
    install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE
            DESTINATION share/doc/krt460)
    set(CPACK_GENERATOR DEB TGZ)
    set(CPACK_PACKAGE_NAME krt460)
    set(CPACK_PACKAGE_FILE_NAME krt460-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
        "Fetch the screen of a 160 x 160 dot instrument over a serial line as BMP or PNG")
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # Makes the services' user and folder (sysusers.d, tmpfiles.d) at installation.
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/cmake/debian/postinst)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
