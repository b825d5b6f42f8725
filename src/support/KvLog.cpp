#include "support/KvLog.h"

Q_LOGGING_CATEGORY(lcCorvane, "Corvane")
Q_LOGGING_CATEGORY(lcNotifier, "KvNotifier")
Q_LOGGING_CATEGORY(lcGovernor, "KvProcessGovernor")
