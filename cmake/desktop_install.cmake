# The program as a desktop installs it: application-menu entry, login start, AppStream
# metainfo, the icon in the hicolor theme at the sizes panels and menus ask for, a manual page.

find_program(RSVG_CONVERT rsvg-convert REQUIRED)
set(velunio_icon_sizes 16 22 24 32 48 64 128 256)
set(velunio_icon_pngs)
foreach(size IN LISTS velunio_icon_sizes)
  set(png ${PROJECT_BINARY_DIR}/icons/${size}x${size}/velunio-printaro.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/icons/${size}x${size}
    COMMAND ${RSVG_CONVERT} --width=${size} --height=${size} --keep-aspect-ratio
            --output=${png} ${PROJECT_SOURCE_DIR}/data/velunio-printaro.svg
    DEPENDS ${PROJECT_SOURCE_DIR}/data/velunio-printaro.svg
    COMMENT "Drawing the ${size}x${size} icon")
  list(APPEND velunio_icon_pngs ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
add_custom_target(velunio_icons ALL DEPENDS ${velunio_icon_pngs})

install(FILES data/com.velunio.Printaro.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/com.velunio.Printaro.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES data/velunio-print-app.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The system-wide autostart folder is /etc/xdg for a /usr installation (GNUInstallDirs
# makes SYSCONFDIR /etc there); the same desktop ID as the menu entry, so that a session's
# start-up settings show it as this program.
install(FILES data/velunio-printaro-autostart.desktop
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart
        RENAME com.velunio.Printaro.desktop)
