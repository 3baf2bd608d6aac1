#!/usr/bin/python3
'''Acts as a StatusNotifierItem panel on the session bus, as the tests need:

  panel.py fake-watcher     turns a bare python-dbusmock object named
                            org.kde.StatusNotifierWatcher into a watcher with
                            a host that has just registered, listing the
                            items registered
  panel.py item             the first registered item ("SERVICE PATH")
  panel.py prop NAME        one property of that item
  panel.py activate         a left click on it (Activate)
  panel.py menu             its exported menu as a panel reads it (AboutToShow,
                            GetLayout): one line an item, "-" a separator,
                            "*" before a checked item
  panel.py click LABEL      chooses the menu item LABEL (Event "clicked")
  panel.py windows          the program's windows in sway's tree (read on
                            stdin): "floating|tiled TITLE WIDTHxHEIGHT"
'''
import json
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


def menu():
    service, path = item()
    menu_object = dbus.SessionBus().get_object(service, prop('Menu'))
    menu_object.AboutToShow(0, dbus_interface=MENU)
    _, layout = menu_object.GetLayout(0, -1, dbus.Array([], signature='s'), dbus_interface=MENU)
    return menu_object, [(int(child[0]), child[1]) for child in layout[2]]


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
        dbus.SessionBus().get_object(service, path).Activate(0, 0, dbus_interface=ITEM)
    elif command == 'menu':
        for _, props in menu()[1]:
            if props.get('type') == 'separator':
                print('-')
            else:
                print(('*' if props.get('toggle-state') == 1 else '') + props.get('label', ''))
    elif command == 'click':
        menu_object, children = menu()
        ids = [id for id, props in children if props.get('label') == args[0]]
        if not ids:
            sys.exit(f'no menu item {args[0]}')
        menu_object.Event(ids[0], 'clicked', dbus.Int32(0, variant_level=1), dbus.UInt32(0),
                          dbus_interface=MENU)


if __name__ == '__main__':
    main(*sys.argv[1:])
