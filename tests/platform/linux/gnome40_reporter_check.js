// Runs the GNOME Shell 40 to 44 reporter (argument: its extension.js) as
// those shells do, a classic script whose init() gives the extension,
// against stand-ins of global.display and Gio. Checks what it sends to
// Corvane: nothing before Corvane is on the bus, the focused window as soon
// as it is, then every newly focused window that has a process, nothing
// once Corvane left; and that disable() lets go of what enable() took.
'use strict';
const assert = require('node:assert');
const vm = require('node:vm');
const source = require('node:fs').readFileSync(process.argv[2], 'utf8');
const method = ['app.corvane.Corvane', '/app/corvane/Corvane', 'app.corvane.Corvane.Foreground',
    'ReportProcess'];

const handlers = new Map();
const calls = [];
let watch = null;
const display = {
    focus_window: null,
    connect: (signal, handler) => handlers.set(handlers.size + 1, [signal, handler]).size,
    disconnect: id => assert.ok(handlers.delete(id)),
};
const Gio = {
    BusType: {SESSION: 1}, BusNameWatcherFlags: {NONE: 0}, DBusCallFlags: {NO_AUTO_START: 1},
    bus_watch_name: (type, name, flags, appeared, vanished) => {
        watch = {name, appeared, vanished};
        return 9;
    },
    bus_unwatch_name: id => {
        assert.strictEqual(id, 9);
        watch = null;
    },
    DBus: {session: {call: (...call) => calls.push([...call.slice(0, 4), call[4].value])}},
};
class Variant {
    constructor(type, [value]) {
        assert.strictEqual(type, '(u)');
        this.value = value;
    }
}

const context = vm.createContext({imports: {gi: {Gio, GLib: {Variant}}}, global: {display}});
vm.runInContext(source, context, {filename: process.argv[2]});
const extension = context.init();
extension.enable();
const [[signal, focusChanged]] = handlers.values();
assert.strictEqual(signal, 'notify::focus-window');
const focus = pid => {
    display.focus_window = pid === null ? null : {get_pid: () => pid};
    focusChanged();
};
focus(40);
assert.strictEqual(watch.name, method[0]);
watch.appeared();
[42, null, 0].forEach(focus);
watch.vanished();
focus(43);
assert.deepStrictEqual(calls, [[...method, 40], [...method, 42]]);
extension.disable();
assert.deepStrictEqual([handlers.size, watch], [0, null]);
