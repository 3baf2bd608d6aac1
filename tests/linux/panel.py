#!/usr/bin/python3
'''Acts as a StatusNotifierItem panel on the session bus, as the tests need:

  panel.py fake-watcher     turns a bare python-dbusmock object named
                            org.kde.StatusNotifierWatcher into a watcher with
                            a host that has just registered, listing the
                            items registered
  panel.py item             the first registered item ("SERVICE PATH")
  panel.py prop NAME        one property of that item
  panel.py activate         a left click on it (Activate); prints "error NAME"
                            when the item answers with an error
  panel.py follow FILE      keeps the item's menu as GNOME's AppIndicator
                            extension does and writes it to FILE at every
                            change: the layout read with only "type" and
                            "children-display", new items' properties asked
                            for once, the items it knows changed only by
                            ItemsPropertiesUpdated. One line an item, "-" a
                            separator, "(x) " / "( ) " before a checked /
                            unchecked radio item, "[x] " / "[ ] " for a
                            checkmark item
  panel.py about-to-show    the menu is about to open (AboutToShow)
  panel.py click LABEL      chooses the menu item LABEL (Event "clicked")
  panel.py windows          the program's windows in sway's tree (read on
                            stdin): "floating|tiled TITLE WIDTHxHEIGHT"
'''
import json
import os
import sys

import dbus

WATCHER = 'org.kde.StatusNotifierWatcher'
ITEM = 'org.kde.StatusNotifierItem'
MENU = 'com.canonical.dbusmenu'


def windows(node, floating=False):
    if node.get('app_id') == 'teleora':
        rect = node['rect']
        print('floating' if floating else 'tiled', node['name'], f'{rect["width"]}x{rect["height"]}')
    for child in node.get('nodes', []):
        windows(child, floating)
    for child in node.get('floating_nodes', []):
        windows(child, True)


def item():
    bus = dbus.SessionBus()
    watcher = bus.get_object(WATCHER, '/StatusNotifierWatcher')
    items = watcher.Get(WATCHER, 'RegisteredStatusNotifierItems',
                        dbus_interface=dbus.PROPERTIES_IFACE)
    if not items:
        sys.exit(1)
    service, _, path = str(items[0]).partition('/')
    return service, '/' + (path or 'StatusNotifierItem')


def prop(name):
    service, path = item()
    return dbus.SessionBus().get_object(service, path).Get(ITEM, name, dbus_interface=dbus.PROPERTIES_IFACE)


def menu_object():
    service, _ = item()
    return dbus.SessionBus().get_object(service, prop('Menu'))


def line(props):
    if props.get('type') == 'separator':
        return '-'
    mark = {'radio': '()', 'checkmark': '[]'}.get(props.get('toggle-type'), '')
    if mark:
        mark = mark[0] + ('x' if props.get('toggle-state') == 1 else ' ') + mark[1] + ' '
    return mark + props.get('label', '')


def follow(path):
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    service, _ = item()
    menu_path = prop('Menu')
    menu = bus.get_object(service, menu_path)
    ids, known = [], {}

    def write():
        with open(path + '.new', 'w') as out:
            out.writelines(line(known[id]) + '\n' for id in ids if id in known)
        os.replace(path + '.new', path)

    def read_layout(*_):
        _, layout = menu.GetLayout(0, -1, ['type', 'children-display'], dbus_interface=MENU)
        ids[:] = [int(child[0]) for child in layout[2]]
        new = [id for id in ids if id not in known]
        if new:
            for id, props in menu.GetGroupProperties(new, dbus.Array([], signature='s'),
                                                     dbus_interface=MENU):
                known[int(id)] = dict(props)
        write()

    def properties_updated(updated, removed):
        for id, props in updated:
            known.get(int(id), {}).update(props)
        for id, names in removed:
            for name in names:
                known.get(int(id), {}).pop(name, None)
        write()

    for member, handler in ('LayoutUpdated', read_layout), ('ItemsPropertiesUpdated', properties_updated):
        bus.add_signal_receiver(handler, member, MENU, service, menu_path)
    read_layout()
    GLib.MainLoop().run()


def main(command, *args):
    if command == 'windows':
        windows(json.load(sys.stdin))
    elif command == 'fake-watcher':
        mock = dbus.SessionBus().get_object(WATCHER, '/StatusNotifierWatcher')
        mock.AddProperties(WATCHER, {
            'IsStatusNotifierHostRegistered': True, 'ProtocolVersion': dbus.Int32(0),
            'RegisteredStatusNotifierItems': dbus.Array([], signature='s')},
            dbus_interface='org.freedesktop.DBus.Mock')
        mock.AddMethod(WATCHER, 'RegisterStatusNotifierItem', 's', '',
                       f'self.Set("{WATCHER}", "RegisteredStatusNotifierItems", [args[0]])',
                       dbus_interface='org.freedesktop.DBus.Mock')
        mock.AddMethod(WATCHER, 'RegisterStatusNotifierHost', 's', '', '',
                       dbus_interface='org.freedesktop.DBus.Mock')
        # As a watcher does when a host registers with it.
        mock.EmitSignal(WATCHER, 'StatusNotifierHostRegistered', '', [],
                        dbus_interface='org.freedesktop.DBus.Mock')
    elif command == 'item':
        print(*item())
    elif command == 'prop':
        print(prop(args[0]))
    elif command == 'activate':
        service, path = item()
        try:
            dbus.SessionBus().get_object(service, path).Activate(0, 0, dbus_interface=ITEM)
        except dbus.DBusException as error:
            print('error', error.get_dbus_name())
    elif command == 'follow':
        follow(args[0])
    elif command == 'about-to-show':
        menu_object().AboutToShow(0, dbus_interface=MENU)
    elif command == 'click':
        menu = menu_object()
        _, layout = menu.GetLayout(0, -1, dbus.Array([], signature='s'), dbus_interface=MENU)
        ids = [int(child[0]) for child in layout[2] if child[1].get('label') == args[0]]
        if not ids:
            sys.exit(f'no menu item {args[0]}')
        menu.Event(ids[0], 'clicked', dbus.Int32(0, variant_level=1), dbus.UInt32(0),
                   dbus_interface=MENU)


if __name__ == '__main__':
    main(*sys.argv[1:])
