#pragma once

#include <QApplication>

// The application object. It names the program after its own executable's
// version resource (which places the settings store and the log), writes the
// start and end lines of a run to the log, and turns the session's requests
// to terminate into an orderly end of the event loop.
class KvApplication : public QApplication
{
    Q_OBJECT

public:
    KvApplication(int &argc, char **argv);
    ~KvApplication() override;
};
