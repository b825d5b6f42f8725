#include "platform/KvPlatformKernel.h"
#include "process/KvProcessInfo.h"
#include "support/KvMessageLogger.h"

#include <QCoreApplication>

// Names the program from its own version resource and writes its start and
// end lines to the log.
int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);

    KvPlatformKernel &kernel = KvPlatformKernel::current();
    KvProcessInfo self;
    self.processId = kernel.currentProcessId();
    self.resolveFilePath(kernel.currentProcess());
    const KvFileInfo fileInfo = self.fileInfo;
    QCoreApplication::setOrganizationName(fileInfo.companyName());
    QCoreApplication::setApplicationName(fileInfo.productName());
    QCoreApplication::setApplicationVersion(fileInfo.version().toString());

    KvMessageLogger(nullptr, 0, nullptr).info()
        << fileInfo.productName() << " " << QCoreApplication::applicationVersion() << " started";
    KvMessageLogger(nullptr, 0, nullptr).info() << QString(50, QLatin1Char('-'));
    return 0;
}
