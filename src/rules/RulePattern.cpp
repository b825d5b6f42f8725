#include "rules/RulePattern.h"

#include <QDir>
#include <QHash>

namespace {

// Compiled patterns kept at most; the cache is emptied when edits have
// produced more distinct texts than this.
constexpr int cacheLimit = 1024;

bool hasWildcard(const QString &text, int from)
{
    for (int i = from; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('*') || c == QLatin1Char('?') || c == QLatin1Char('['))
            return true;
    }
    return false;
}

void appendEscaped(QString &expression, QChar c)
{
    static const QString special = QStringLiteral("\\^$.|?*+()[]{}-/");
    if (special.contains(c))
        expression += QLatin1Char('\\');
    expression += c;
}

// The set that starts at text[open] == '['; returns the index of its ']' or
// -1 when the set is not closed (then '[' is an ordinary character).
int appendSet(QString &expression, const QString &text, int open)
{
    int i = open + 1;
    bool negated = false;
    if (i < text.size() && (text.at(i) == QLatin1Char('!') || text.at(i) == QLatin1Char('^'))) {
        negated = true;
        ++i;
    }
    const int first = i;
    // A ']' right after the opening (and its negation) belongs to the set.
    if (i < text.size() && text.at(i) == QLatin1Char(']'))
        ++i;
    while (i < text.size() && text.at(i) != QLatin1Char(']'))
        ++i;
    if (i >= text.size())
        return -1;

    expression += QLatin1Char('[');
    if (negated)
        expression += QLatin1Char('^');
    for (int j = first; j < i; ++j) {
        const QChar c = text.at(j);
        // Ranges keep their meaning; everything else is literal inside.
        if (c == QLatin1Char('\\') || c == QLatin1Char('[') || c == QLatin1Char(']') ||
            c == QLatin1Char('^'))
            expression += QLatin1Char('\\');
        expression += c;
    }
    expression += QLatin1Char(']');
    return i;
}

QString wildcardToExpression(const QString &wildcard)
{
    QString expression = QStringLiteral("\\A(?:");
    for (int i = 0; i < wildcard.size(); ++i) {
        const QChar c = wildcard.at(i);
        if (c == QLatin1Char('*')) {
            expression += QLatin1String(".*");
        } else if (c == QLatin1Char('?')) {
            expression += QLatin1Char('.');
        } else if (c == QLatin1Char('[')) {
            const int close = appendSet(expression, wildcard, i);
            if (close < 0)
                appendEscaped(expression, c);
            else
                i = close;
        } else {
            appendEscaped(expression, c);
        }
    }
    expression += QLatin1String(")\\z");
    return expression;
}

} // namespace

QChar RulePattern::nativeSeparatorOfPlatform()
{
    return QDir::separator();
}

QString RulePattern::prepare(const QString &text, QChar nativeSeparator)
{
    QString prepared = text;
    if (!prepared.contains(nativeSeparator))
        prepared.prepend(QStringLiteral("*") + nativeSeparator);
    if (nativeSeparator != QLatin1Char('/'))
        prepared.replace(nativeSeparator, QLatin1Char('/'));
    return prepared;
}

RulePattern::RulePattern(const QString &text, QChar nativeSeparator)
{
    const QString prepared = prepare(text, nativeSeparator);
    if (!hasWildcard(prepared, 0)) {
        kind = WholePath;
        literal = prepared;
    } else if (prepared.startsWith(QLatin1Char('*')) && !hasWildcard(prepared, 1)) {
        kind = PathEnd;
        literal = prepared.mid(1);
    } else if (prepared.endsWith(QLatin1Char('*')) &&
               !hasWildcard(prepared.left(prepared.size() - 1), 0)) {
        kind = PathStart;
        literal = prepared.left(prepared.size() - 1);
    } else {
        kind = Wildcard;
        expression.setPattern(wildcardToExpression(prepared));
        expression.setPatternOptions(QRegularExpression::CaseInsensitiveOption |
                                     QRegularExpression::DotMatchesEverythingOption);
        expression.optimize();
    }
}

RulePattern RulePattern::compiled(const QString &text)
{
    // Rules live on the GUI thread only, so the cache needs no lock.
    static QHash<QString, RulePattern> cache;
    auto found = cache.constFind(text);
    if (found != cache.constEnd())
        return *found;
    if (cache.size() >= cacheLimit)
        cache.clear();
    return *cache.insert(text, RulePattern(text));
}

bool RulePattern::matches(const QString &path) const
{
    if (path.isEmpty())
        return false;
    switch (kind) {
    case WholePath:
        return path.compare(literal, Qt::CaseInsensitive) == 0;
    case PathEnd:
        return path.endsWith(literal, Qt::CaseInsensitive);
    case PathStart:
        return path.startsWith(literal, Qt::CaseInsensitive);
    case Wildcard:
        return expression.match(path).hasMatch();
    }
    return false;
}
