// Corvane foreground reporter for KWin, on Plasma 5 and Plasma 6.
//
// On a Wayland desktop only the compositor knows which window is active.
// This script tells Corvane, over the session bus, the process of every
// window that becomes active; Corvane's foreground and background conditions
// follow it. While Corvane is not running the calls simply fail.

var corvaneService = "app.corvane.Corvane";
var corvanePath = "/app/corvane/Corvane";
var corvaneInterface = "app.corvane.Corvane.Foreground";

function reportActiveWindow(window) {
    // Nothing is active, or KWin draws the window itself (no process).
    if (!window || !(window.pid > 0))
        return;
    // callDBus passes a JavaScript number on as it holds it; "| 0" makes
    // it a 32-bit integer, which Corvane takes alongside the unsigned form.
    callDBus(corvaneService, corvanePath, corvaneInterface, "ReportProcess", window.pid | 0);
}

// Plasma 6 names windows "windows", Plasma 5 "clients".
if (workspace.windowActivated) {
    workspace.windowActivated.connect(reportActiveWindow);
    reportActiveWindow(workspace.activeWindow);
} else {
    workspace.clientActivated.connect(reportActiveWindow);
    reportActiveWindow(workspace.activeClient);
}
