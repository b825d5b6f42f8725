// Corvane foreground reporter for GNOME Shell 40 to 44.
//
// The same reporter as corvane-foreground@corvane.app, in the form these
// shells load: a classic script with init(), imports.gi and no ES modules.
// GNOME 45 and later load only ES modules, and a folder holds one form, so
// each form has its own uuid.
//
// On a Wayland desktop only the compositor knows which window has the
// focus. This extension tells Corvane, over the session bus, the process of
// every window that takes the focus, and of the focused one whenever Corvane
// starts; Corvane's foreground and background conditions follow it.
'use strict';

const {Gio, GLib} = imports.gi;

const CORVANE_SERVICE = 'app.corvane.Corvane';
const CORVANE_PATH = '/app/corvane/Corvane';
const CORVANE_INTERFACE = 'app.corvane.Corvane.Foreground';

class CorvaneForeground {
    enable() {
        this._corvaneRuns = false;
        this._focusHandler = global.display.connect('notify::focus-window',
            () => this._report());
        // Reports go out only while Corvane is on the bus, and the focused
        // window is reported as soon as it appears there.
        this._nameWatch = Gio.bus_watch_name(Gio.BusType.SESSION, CORVANE_SERVICE,
            Gio.BusNameWatcherFlags.NONE,
            () => {
                this._corvaneRuns = true;
                this._report();
            },
            () => {
                this._corvaneRuns = false;
            });
    }

    disable() {
        global.display.disconnect(this._focusHandler);
        Gio.bus_unwatch_name(this._nameWatch);
        this._focusHandler = null;
        this._nameWatch = 0;
        this._corvaneRuns = false;
    }

    _report() {
        const window = global.display.focus_window;
        // Nothing has the focus, or the shell draws the window itself.
        const pid = window ? window.get_pid() : 0;
        if (!this._corvaneRuns || pid <= 0)
            return;
        Gio.DBus.session.call(CORVANE_SERVICE, CORVANE_PATH, CORVANE_INTERFACE,
            'ReportProcess', new GLib.Variant('(u)', [pid]), null,
            Gio.DBusCallFlags.NO_AUTO_START, -1, null,
            (connection, result) => {
                try {
                    connection.call_finish(result);
                } catch (e) {
                    // Corvane ended meanwhile; the name watch notices.
                }
            });
    }
}

function init() {
    return new CorvaneForeground();
}
