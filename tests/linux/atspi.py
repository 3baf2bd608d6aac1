"""What panels_test.sh reads of a panel through the accessibility bus.

  atspi.py button APP NAME   the centre "X Y" of APP's showing button NAME
  atspi.py menu APP          APP's showing menu, when it is one of APP's
                             windows, read as "watch" reads it (no focus), then
                             "menu<TAB>X Y WIDTH HEIGHT": its own box
  atspi.py window APP TITLE  the size "WxH" of APP's showing window TITLE
Each prints nothing and ends with 1 when there is no such thing.
  atspi.py watch FILE        makes FILE empty once it listens; then on every
                             item that takes the focus in a menu (of any
                             application: xfce4-panel's plugin process may
                             give its panel's name) writes FILE anew: the
                             menu's items ("-" a separator, "(x) " before a
                             checked one), then per item "LABEL<TAB>X Y",
                             then "focus<TAB>LABEL"
"""
import os
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

SHOWING = Atspi.StateType.SHOWING
ITEM_ROLES = {"menu item", "check menu item", "radio menu item", "separator"}


def showing(node):
    try:
        return node.get_state_set().contains(SHOWING)
    except Exception:  # the object went away while we looked
        return False


def walk(node, depth=0):
    yield node
    if depth > 14:
        return
    try:
        count = node.get_child_count()
    except Exception:
        return
    for i in range(count):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from walk(child, depth + 1)


def app(name):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        child = desktop.get_child_at_index(i)
        if child is not None and child.get_name() == name:
            return child
    return None


def centre(node):
    box = node.get_extents(Atspi.CoordType.SCREEN)
    return f"{box.x + box.width // 2} {box.y + box.height // 2}"


def label(item):
    if item.get_role_name() == "separator":
        return "-"
    checked = item.get_state_set().contains(Atspi.StateType.CHECKED)
    return ("(x) " if checked else "") + item.get_name().replace("&", "")


def reading(items, focus=None):
    lines = [",".join(label(i) for i in items)]
    lines += [f"{label(i).removeprefix('(x) ')}\t{centre(i)}" for i in items]
    if focus is not None:
        lines.append(f"focus\t{label(focus).removeprefix('(x) ')}")
    return "\n".join(lines)


def children(node):
    return [c for c in (node.get_child_at_index(i) for i in range(node.get_child_count())) if c]


def watch(path):
    def on_focus(event):
        item = event.source
        if not event.detail1 or item.get_role_name() not in ITEM_ROLES:
            return
        try:
            # The states of a menu shown before are stale: nothing is cached.
            item.get_application().set_cache_mask(Atspi.Cache.NONE)
            menu = item.get_parent()
            menu.clear_cache()
            text = reading(children(menu), item)
        except Exception:  # the menu closed while we read it
            return
        with open(path + ".new", "w") as out:
            out.write(text + "\n")
        os.replace(path + ".new", path)  # the reader never sees half a file

    listener = Atspi.EventListener.new(on_focus)
    listener.register("object:state-changed:focused")
    open(path, "w").close()  # listening
    Atspi.event_main()


def main(argv):
    if argv[1] == "watch":
        return watch(argv[2])
    root = app(argv[2])
    if root is None:
        return 1
    if argv[1] == "button":
        for node in walk(root):
            if node.get_role_name() in ("push button", "icon") and node.get_name() == argv[3] and showing(node):
                print(centre(node))
                return 0
        return 1
    if argv[1] == "menu":
        for window in children(root):
            for menu in children(window):
                if menu.get_role_name() == "menu" and showing(menu):
                    box = menu.get_extents(Atspi.CoordType.SCREEN)
                    print(reading(children(menu)))
                    print(f"menu\t{box.x} {box.y} {box.width} {box.height}")
                    return 0
        return 1
    if argv[1] == "window":
        for node in (root.get_child_at_index(i) for i in range(root.get_child_count())):
            if node is not None and node.get_role_name() in ("frame", "dialog") and node.get_name() == argv[3] and showing(node):
                box = node.get_extents(Atspi.CoordType.SCREEN)
                print(f"{box.width}x{box.height}")
                return 0
        return 1
    return 1


sys.exit(main(sys.argv))
