// Runs the KWin reporter (argument: its main.js) against stand-ins of the
// scripting API of Plasma 6 (windows) and Plasma 5 (clients), and checks
// what it sends to Corvane: the active window at start, then every newly
// activated window that has a process.
'use strict';
const assert = require('node:assert');
const vm = require('node:vm');
const source = require('node:fs').readFileSync(process.argv[2], 'utf8');
const method = ['app.corvane.Corvane', '/app/corvane/Corvane', 'app.corvane.Corvane.Foreground',
    'ReportProcess'];

for (const [signal, active] of [['windowActivated', 'activeWindow'],
    ['clientActivated', 'activeClient']]) {
    const slots = [];
    const calls = [];
    const workspace = {[signal]: {connect: slot => slots.push(slot)}, [active]: {pid: 41}};
    vm.runInNewContext(source, {workspace, callDBus: (...call) => calls.push(call)});
    for (const window of [{pid: 42}, null, {pid: 0}])
        slots.forEach(slot => slot(window));
    assert.deepStrictEqual(calls, [[...method, 41], [...method, 42]], signal);
}
