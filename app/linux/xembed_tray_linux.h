// Whether an XEmbed tray is there, asked of X11.
#pragma once

// Whether an XEmbed tray owns the tray selection of the X screen (the one
// DISPLAY names), asked on Qt's own X connection: one round trip a check
// (the selection's name is looked up once). Only a Qt on xcb with a
// connection has one: another platform plugin may offer the X11 interface
// with no connection behind it ("-platform offscreen" with DISPLAY set).
bool XEmbedTrayPresent();
