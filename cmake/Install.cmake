# Installation and the Debian package.
#
#   <prefix>/bin/pitchwell, pitchwell-render   (install(TARGETS) in apps/*)
#   <prefix>/share/pitchwell/                 skin.svg, icons/, pitchwell.html: the program looks here,
#                                             relative to its own folder (src/ui/asset_paths.h)
#   <prefix>/share/applications, share/metainfo, share/icons/hicolor: desktop integration
#
# `make install PREFIX=...` and `make package` drive it.

set(PW_DATA_DIR share/pitchwell)
set(PW_ICON_SIZES 16 22 24 32 48 64 128 256)

# The help file also sits beside the built program, where it is looked for
# first, so that ? works from the build tree.
get_target_property(_pw_window_dir pitchwell BINARY_DIR)
add_custom_command(
  OUTPUT ${_pw_window_dir}/pitchwell.html
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${PROJECT_SOURCE_DIR}/assets/help/pitchwell.html
          ${_pw_window_dir}/pitchwell.html
  DEPENDS ${PROJECT_SOURCE_DIR}/assets/help/pitchwell.html
  COMMENT "Copying the help file beside pitchwell")
add_custom_target(pitchwell_help ALL DEPENDS ${_pw_window_dir}/pitchwell.html)
add_dependencies(pitchwell pitchwell_help)

install(FILES assets/skin.svg assets/help/pitchwell.html DESTINATION ${PW_DATA_DIR})
install(FILES assets/icons/pitchwell.svg assets/icons/info.svg assets/icons/update.svg
        DESTINATION ${PW_DATA_DIR}/icons)

install(FILES packaging/pitchwell.desktop DESTINATION share/applications)
# The release number comes from the project's one version number.
configure_file(packaging/app.pitchwell.Pitchwell.metainfo.xml.in
  ${PROJECT_BINARY_DIR}/app.pitchwell.Pitchwell.metainfo.xml @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/app.pitchwell.Pitchwell.metainfo.xml DESTINATION share/metainfo)
install(FILES assets/icons/pitchwell.svg DESTINATION share/icons/hicolor/scalable/apps)
foreach(_size IN LISTS PW_ICON_SIZES)
  install(FILES assets/icons/pitchwell-${_size}.png DESTINATION share/icons/hicolor/${_size}x${_size}/apps
          RENAME pitchwell.png)
endforeach()

# The installed tree, checked: every file in place, the installed renderer
# runs and loads the installed tag library (not the build tree's).
add_test(NAME install_tree
         COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} "-DPREFIX=${CMAKE_BINARY_DIR}/install test"
                 "-DICON_SIZES=${PW_ICON_SIZES}" -P ${PROJECT_SOURCE_DIR}/cmake/InstallTest.cmake)

# ---- Debian package (cpack -G DEB, `make package`)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pitchwell)
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Pitch shifting and time stretching software for Linux")
set(CPACK_PACKAGE_DESCRIPTION "Pitchwell changes the speed, tempo, pitch and tone of a recording while it \
plays, shows its spectrum, measures its beats per minute and saves the result as MP3, WAV, FLAC or M4A. \
pitchwell-render does the same from the command line.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Corvane <support@pitchwell.app>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.pitchwell.app/pitchwell/")
# Libraries come from dpkg-shlibdeps; what is only loaded at run time is
# named here: Qt's platform plugins and the window's type faces.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qt6-qpa-plugins, fonts-wine, fonts-liberation2, fonts-dejavu-core, fonts-bebas-neue")
# xdg-open hands the help file and web links to the desktop.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
include(CPack)
