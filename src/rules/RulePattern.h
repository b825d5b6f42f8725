#pragma once

#include <QChar>
#include <QRegularExpression>
#include <QString>

// One executable pattern of a rule, ready to match process paths.
//
// A pattern without a native directory separator is a bare file name and
// matches that name in any directory: it gets "*" and a separator in front.
// Native separators then become forward slashes, the form process paths come
// in. The prepared pattern is a case-insensitive wildcard ("*" any run of
// characters, slashes included; "?" any one character; "[...]" a set) that
// must match the whole path. An empty path matches nothing.
//
// Every event matches every pattern of every enabled rule against every
// process, so compiled() keeps one compiled form per distinct text, and the
// common shapes (a bare name, a plain path, a directory with everything
// below it) match without a regular expression.
class RulePattern
{
public:
    explicit RulePattern(const QString &text, QChar nativeSeparator = nativeSeparatorOfPlatform());

    // The compiled pattern for text, with the platform's native separator.
    static RulePattern compiled(const QString &text);

    // The text after the separator rules above, before compilation.
    static QString prepare(const QString &text, QChar nativeSeparator);

    bool matches(const QString &path) const;

private:
    static QChar nativeSeparatorOfPlatform();

    enum Kind { WholePath, PathEnd, PathStart, Wildcard };
    Kind kind = WholePath;
    QString literal;
    QRegularExpression expression;
};
