#pragma once

#include <QString>
#include <QtGlobal>

// One measured duration as the providers receive it. A null label means
// "no label"; for VariableKind::Runtime the variable text is not used.
struct KvAnalyticsTiming
{
    enum class VariableKind : quint8 { Custom = 0, Runtime = 1 };

    QString category;
    QString variable;
    QString label;
    quint32 time = 0;
    VariableKind variableKind = VariableKind::Custom;
};
