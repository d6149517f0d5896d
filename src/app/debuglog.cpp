#include "debuglog.h"

#include <QHash>
#include <QPair>

namespace Bryx {

QString qualifiedFunctionName(const char *prettyFunction)
{
    const QString signature = QString::fromLatin1(prettyFunction);
    // The parameter list starts at the first '(' (a lambda's own list comes after its owner's).
    qsizetype end = signature.indexOf(QLatin1Char('('));
    if (end < 0)
        end = signature.size();
    // The return type, if any, ends at the last blank before the name; blanks inside template
    // arguments of the return type are skipped by tracking angle-bracket depth.
    qsizetype start = 0;
    int depth = 0;
    for (qsizetype i = 0; i < end; ++i) {
        const QChar c = signature.at(i);
        if (c == QLatin1Char('<'))
            ++depth;
        else if (c == QLatin1Char('>'))
            --depth;
        else if (c == QLatin1Char(' ') && depth == 0)
            start = i + 1;
    }
    QString name = signature.mid(start, end - start);
    while (name.startsWith(QLatin1Char('*')) || name.startsWith(QLatin1Char('&')))
        name.remove(0, 1);
    return name;
}

QString logPrefix(const char *source, int line, const char *prettyFunction)
{
    // A line's head never changes: it is made once per place in the code (per thread, so that
    // no lock is needed), not for every line a pass over a large fleet writes.
    thread_local QHash<QPair<const char *, int>, QPair<const char *, QString>> made;
    const QPair<const char *, int> place(prettyFunction, line);
    const auto found = made.constFind(place);
    if (found != made.cend() && found->first == source)
        return found->second;
    const QString prefix = QString::fromLatin1(source) + QLatin1Char('/') + QString::number(line) + QLatin1Char('(')
                           + qualifiedFunctionName(prettyFunction) + QStringLiteral("):");
    made.insert(place, qMakePair(source, prefix));
    return prefix;
}

QString logPrefixNamed(const char *source, int line, const char *function)
{
    thread_local QHash<QPair<const char *, int>, QPair<const char *, QString>> made;
    const QPair<const char *, int> place(function, line);
    const auto found = made.constFind(place);
    if (found != made.cend() && found->first == source)
        return found->second;
    const QString prefix = QString::fromLatin1(source) + QLatin1Char('/') + QString::number(line) + QLatin1Char('(')
                           + QString::fromLatin1(function) + QStringLiteral("):");
    made.insert(place, qMakePair(source, prefix));
    return prefix;
}

} // namespace Bryx
