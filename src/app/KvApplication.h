#pragma once

#include <QCoreApplication>

#include <functional>
#include <memory>

// The application: the Qt application object, a GUI one where there is a
// display to show the window on and one without any GUI platform otherwise
// (the rules restrain all the same). It names the program after its own
// executable's version resource (which places the settings store and the
// log); once the command line asks for a run, start() writes the start line
// of the run, turns the session's requests to terminate into an orderly end
// of the event loop, starts the run's lifeline and brings analytics up. The
// end line is written only for a run that started.
class KvApplication
{
public:
    KvApplication(int &argc, char **argv, bool gui);
    ~KvApplication();
    KvApplication(const KvApplication &) = delete;
    KvApplication &operator=(const KvApplication &) = delete;

    void start();
    // What a request to end does first, before the event loop ends and the
    // window and the rules are taken down: lift every restriction.
    void setStop(std::function<void()> stop) { m_stop = std::move(stop); }
    // Whether a request to end has come, those that came while no event
    // loop ran included: start-up asks between its steps.
    bool stopRequested();
    int exec();
    // Instead of a run: lifts what runs that ended left in force, as a
    // lifeline asks, and returns the exit status.
    int liftLeftovers();
    bool hasGui() const { return gui; }

private:
    void stopOnRequest(const QString &request);

    const bool gui;
    std::unique_ptr<QCoreApplication> application;
    bool m_started = false;
    bool m_stopRequested = false;
    std::function<void()> m_stop;
};
