#include "app/linux/xembed_tray_linux.h"

#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// After Qt's headers: xcb's names must not shadow theirs.
#include <xcb/xcb.h>

bool XEmbedTrayPresent() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return false;
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
    if (connection == nullptr) return false;
    static xcb_atom_t selection = XCB_NONE;
    if (selection == XCB_NONE) {
        const char* display = getenv("DISPLAY");
        const char* dot = display != nullptr ? strrchr(display, '.') : nullptr;
        const int screen = dot != nullptr && dot > strrchr(display, ':') ? atoi(dot + 1) : 0;
        char name[32];
        snprintf(name, sizeof name, "_NET_SYSTEM_TRAY_S%d", screen);
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(strlen(name)), name),
            nullptr);
        if (atom == nullptr) return false;
        selection = atom->atom;
        free(atom);
    }
    xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, selection), nullptr);
    const bool present = owner != nullptr && owner->owner != XCB_NONE;
    free(owner);
    return present;
}
