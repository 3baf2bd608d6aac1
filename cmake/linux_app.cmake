# The Linux program: the NetworkManager binding of the dial-up service, the Qt 6
# tray, menu and dialog, the `teleora` executable and its desktop files (its
# tests are in tests/linux). Included by the top-level CMakeLists when TELEORA_WITH_QT is ON.

find_package(Qt6 6.2 REQUIRED COMPONENTS Core Gui Widgets DBus)

# The dial-up service on NetworkManager (QtDBus, no widgets): its result codes
# (plain C++), its bus plumbing and its six operations.
add_library(teleora_networkmanager STATIC
    dialup/networkmanager_codes.cpp
    dialup/networkmanager_bus_linux.cpp
    dialup/networkmanager_dialup_linux.cpp
    dialup/networkmanager_watch_linux.cpp
)
set_target_properties(teleora_networkmanager PROPERTIES AUTOMOC ON)
target_link_libraries(teleora_networkmanager PUBLIC teleora_core Qt6::Core Qt6::DBus)

# The Qt binding of the tray menu and the configuration dialog.
add_library(teleora_qt_ui STATIC
    app/linux/tray_app_qt.cpp
    app/linux/single_copy_linux.cpp
    app/linux/status_notifier_linux.cpp
    app/linux/tray_host_linux.cpp
    app/linux/xembed_tray_linux.cpp
    app/linux/icons_qt.qrc
    app/linux/config_dialog_qt.cpp
)
set_target_properties(teleora_qt_ui PROPERTIES AUTOMOC ON AUTORCC ON)
# xcb (from libxcb1-dev, which qt6-base-dev pulls in) asks X11 for an XEmbed tray.
target_link_libraries(teleora_qt_ui PUBLIC teleora_core Qt6::Core Qt6::Gui Qt6::Widgets Qt6::DBus xcb)

add_executable(teleora app/linux/main_linux.cpp app/linux/command_line.cpp)
target_compile_definitions(teleora PRIVATE TELEORA_VERSION="${PROJECT_VERSION}")
target_link_libraries(teleora PRIVATE teleora_qt_ui teleora_networkmanager teleora_ini)

# Desktop integration: the program, its icon in the hicolor theme, a menu
# entry and an XDG autostart file (installed under share/teleora; the README
# tells how to enable it).
include(GNUInstallDirs)
install(TARGETS teleora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(size 16 32 48 64 128 256)
    install(FILES resources/icons/teleora-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME teleora.png)
endforeach()
install(FILES resources/icons/teleora.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES resources/teleora.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES resources/teleora-autostart.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/teleora)

# The manual page, the Debian documents and the .deb package (CPack).
include(${CMAKE_CURRENT_LIST_DIR}/packaging_linux.cmake)
