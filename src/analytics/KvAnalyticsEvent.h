#pragma once

#include <QString>
#include <QtGlobal>

// One usage event as the providers receive it. The texts are only consulted
// where the enumerations say so: customAction for Action::Custom,
// customCategory for Category::Custom; a null label means "no label".
struct KvAnalyticsEvent
{
    enum class Action : quint8 {
        Activated = 0,
        Begin = 1,
        Custom = 2,
        Deactivated = 3,
        Delayed = 4,
        End = 5
    };
    enum class Category : quint8 { Custom = 0, Session = 1 };

    Action action = Action::Custom;
    bool hasValue = false;
    Category category = Category::Custom;
    QString customAction;
    QString customCategory;
    QString label;
    quint32 value = 0;
};
