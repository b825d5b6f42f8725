#pragma once

#include <QApplication>

// The application object. It names the program after its own executable's
// version resource (which places the settings store and the log); once the
// command line asks for a run, start() writes the start line of the run,
// turns the session's requests to terminate into an orderly end of the
// event loop and brings analytics up. The end line is written only for a
// run that started.
class KvApplication : public QApplication
{
    Q_OBJECT

public:
    KvApplication(int &argc, char **argv);
    ~KvApplication() override;

    void start();

private:
    bool m_started = false;
};
