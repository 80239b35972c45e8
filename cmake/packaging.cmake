# Install rules and packages: on Windows a zip to unpack and run; elsewhere the
# program with its launcher entry, icons and AppStream metadata, where
# desktops and software centres look, and the Debian package.
if(WIN32)
    include(cmake/windows_package.cmake)
    return()
endif()

include(GNUInstallDirs)

set(TWINFOLD_DATA ${PROJECT_SOURCE_DIR}/data)
# The AppStream id names the metainfo file; it stays fixed once published.
set(TWINFOLD_APPSTREAM_ID example.twinfold.twinfold)

install(TARGETS twinfold RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${TWINFOLD_DATA}/twinfold.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${TWINFOLD_DATA}/twinfold.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# The window icon's renderings too, for menus and docks without an SVG loader.
foreach(size 16 32 48 256)
    install(FILES ${TWINFOLD_DATA}/twinfold-${size}.png RENAME twinfold.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${TWINFOLD_DATA}/${TWINFOLD_APPSTREAM_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# `cpack -G DEB` in the build tree, or `./dev package`.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME twinfold)
set(CPACK_PACKAGE_CONTACT "Twinfold maintainers <maintainers@twinfold.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copy changed files between two directory trees")
set(CPACK_PACKAGE_DESCRIPTION
    "Twinfold keeps two directory trees in step, one direction at a time: an
upload copies into the remote tree every local file changed since the last
upload completed, a download does the same the other way. Runs start from a
button or on a timer, names matching a regular expression are skipped, and
every copied file is logged. It never deletes, renames or moves files.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's texts are Chinese; without a CJK font they show as boxes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei")
include(CPack)
