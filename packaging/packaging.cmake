# Installation and the Debian package: the executable, its desktop entry and its icon in the
# hicolor theme. Only an ordinary build installs (not the sanitizer builds), and only when the
# executable is built.
if(NOT TESSALY_SANITIZER STREQUAL "" OR TESSALY_THREAD_TESTS_ONLY OR NOT TARGET tessaly)
    return()
endif()

# The icon files, drawn at build time by the window icon's own code.
set(TESSALY_ICON_SIZES 16 32 48 64 128 256)
set(TESSALY_ICON_DIR ${CMAKE_BINARY_DIR}/packaging/icons)
set(tessaly_icon_files "")
foreach(size IN LISTS TESSALY_ICON_SIZES)
    list(APPEND tessaly_icon_files ${TESSALY_ICON_DIR}/${size}x${size}/tessaly.png)
endforeach()

add_executable(tessaly_icon_png ${PROJECT_SOURCE_DIR}/packaging/icon_png.cpp)
target_link_libraries(tessaly_icon_png PRIVATE tessaly_program_icon)
add_custom_command(OUTPUT ${tessaly_icon_files}
    COMMAND tessaly_icon_png ${TESSALY_ICON_DIR} ${TESSALY_ICON_SIZES}
    DEPENDS tessaly_icon_png
    COMMENT "Drawing the program icon")
add_custom_target(tessaly_icons ALL DEPENDS ${tessaly_icon_files})

install(TARGETS tessaly RUNTIME DESTINATION bin)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tessaly.desktop DESTINATION share/applications)
foreach(size IN LISTS TESSALY_ICON_SIZES)
    install(FILES ${TESSALY_ICON_DIR}/${size}x${size}/tessaly.png
        DESTINATION share/icons/hicolor/${size}x${size}/apps)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessaly)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tessaly developers <tessaly@tessaly.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Renews an expired certificate over HTTPS")
set(CPACK_PACKAGE_DESCRIPTION
    "Tessaly proves to the renewal server that it holds an expired certificate's private key \
and places the renewed certificate in the user's NSS certificate database.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The libraries' packages come from dpkg-shlibdeps. Japanese button texts and a font that shows
# Japanese are wanted but not needed to run.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n, fonts-noto-cjk")
# Only the package: the tests and tools of the build are not installed.
set(CPACK_STRIP_FILES ON)
include(CPack)
