/* Used only by tests/linux/panels_test.sh on a private GNOME Shell. Its Eval
 * and Screenshot calls need unsafe mode, which the shell offers no
 * command-line flag for; and the test reads the AppIndicator extension's
 * menu and clicks with a virtual pointer through the helpers below
 * (global.teleoraTest.NAME(...) in Eval, each answering a string). */
const { Clutter, GLib } = imports.gi;
const Main = imports.ui.main;
const PopupMenu = imports.ui.popupMenu;

let pointer = null;
let lastIconClick = 0; // when clickIcon last pressed, in monotonic microseconds

function indicator() {
    const key = Object.keys(Main.panel.statusArea).find(k => k.startsWith('appindicator-'));
    return key ? Main.panel.statusArea[key] : null;
}

function click(actor) {
    const [x, y] = actor.get_transformed_position();
    const [w, h] = actor.get_transformed_size();
    if (!pointer) {
        const seat = Clutter.get_default_backend().get_default_seat();
        pointer = seat.create_virtual_device(Clutter.InputDeviceType.POINTER_DEVICE);
    }
    pointer.notify_absolute_motion(GLib.get_monotonic_time(), x + w / 2, y + h / 2);
    pointer.notify_button(GLib.get_monotonic_time(), Clutter.BUTTON_PRIMARY, Clutter.ButtonState.PRESSED);
    pointer.notify_button(GLib.get_monotonic_time(), Clutter.BUTTON_PRIMARY, Clutter.ButtonState.RELEASED);
    return `${Math.round(x + w / 2)},${Math.round(y + h / 2)}`;
}

function items() {
    const icon = indicator();
    return icon && icon.menu ? icon.menu._getMenuItems() : [];
}

const helpers = {
    // "shown" once the indicator is on the panel, laid out, with its menu.
    icon() {
        const icon = indicator();
        return icon && icon.visible && icon.is_mapped() && icon.width > 0 && items().length > 0
            ? 'shown' : '';
    },
    // "ready" once a click on the indicator opens its menu: no menu is open
    // or still closing on the screen, and the last click on the indicator is
    // older than the double-click time. (The AppIndicator extension counts
    // the presses on the indicator itself: a press that follows one within
    // that time, even with a choice in the menu between them, is a double
    // click, which sends Activate and opens no menu. A person's second click
    // comes later than that; this pointer's does not.)
    ready() {
        const menu = indicator() && indicator().menu;
        const doubleClickUs = Clutter.Settings.get_default().double_click_time * 1000;
        return menu && !menu.isOpen && !menu.actor.visible &&
            GLib.get_monotonic_time() - lastIconClick > doubleClickUs ? 'ready' : '';
    },
    // A left click on the indicator.
    clickIcon() {
        lastIconClick = GLib.get_monotonic_time();
        return click(indicator());
    },
    // The open menu: its items, "-" for a separator, "(x) " before the one
    // with the dot; "" while it is closed.
    menu() {
        const icon = indicator();
        if (!icon || !icon.menu || !icon.menu.isOpen)
            return '';
        return items().filter(i => i.visible).map(i => {
            if (i instanceof PopupMenu.PopupSeparatorMenuItem)
                return '-';
            const dot = i._ornament === PopupMenu.Ornament.DOT ? '(x) ' : '';
            return dot + i.label.text;
        }).join(',');
    },
    // A left click on the open menu's item with that label.
    clickItem(label) {
        const item = items().find(i => i.label && i.label.text === label);
        return item ? click(item) : '';
    },
    // The shown window with that title: "WxH normal|maximized|fullscreen".
    window(title) {
        const w = global.get_window_actors().map(a => a.meta_window).find(m => m.get_title() === title);
        const r = w ? w.get_frame_rect() : null;
        if (!r || r.width === 0 || !w.showing_on_its_workspace())
            return '';
        const state = w.is_fullscreen() ? 'fullscreen' : w.get_maximized() ? 'maximized' : 'normal';
        return `${r.width}x${r.height} ${state}`;
    },
    closeWindow(title) {
        const w = global.get_window_actors().map(a => a.meta_window).find(m => m.get_title() === title);
        if (w)
            w.delete(global.get_current_time());
        return w ? 'closed' : '';
    },
};

function init() {
    return {
        enable() {
            global.context.unsafe_mode = true;
            global.teleoraTest = helpers;
        },
        disable() {
            global.context.unsafe_mode = false;
            delete global.teleoraTest;
        },
    };
}
