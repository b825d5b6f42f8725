// Corvane foreground reporter for GNOME Shell 45 and later.
//
// On a Wayland desktop only the compositor knows which window has the
// focus. This extension tells Corvane, over the session bus, the process of
// every window that takes the focus, and of the focused one whenever Corvane
// starts; Corvane's foreground and background conditions follow it.

import Gio from 'gi://Gio';
import GLib from 'gi://GLib';

import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';

const CORVANE_SERVICE = 'app.corvane.Corvane';
const CORVANE_PATH = '/app/corvane/Corvane';
const CORVANE_INTERFACE = 'app.corvane.Corvane.Foreground';

export default class CorvaneForegroundExtension extends Extension {
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
                } catch {
                    // Corvane ended meanwhile; the name watch notices.
                }
            });
    }
}
