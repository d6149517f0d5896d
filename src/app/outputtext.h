#pragma once

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonValue>
#include <QString>

// Text that comes from a unit (its name and serial, anything its replies or "units.ini" hold)
// may carry control characters, and a terminal obeys them: ESC and the 8-bit CSI (U+009B) start
// sequences that clear the screen, move the cursor or rewrite a line. Every output the updater
// writes for people shows them as text instead: the tool's lines and tables, the status log,
// "LOGFILE.txt", the history, the CSV reports and the diagnostic report.

enum class LineFeeds { Escaped, Kept };

// The text with every control character (U+0000 to U+001F, DEL U+007F and U+0080 to U+009F)
// written as "\x" and two lower-case hex digits: ESC becomes "\x1b", the 8-bit CSI "\x9b", a line
// feed "\x0a". Everything else stays as it is: printable characters above 0x7F ("é") and
// backslashes, so escaping text twice gives what escaping it once gave. With LineFeeds::Kept a
// line feed stays one, for files whose entries may span lines (a CSV field, the log's hex dumps).
QString escapedControls(const QString &text, LineFeeds lineFeeds = LineFeeds::Escaped);

// A text for a table column: at most kShownTextLength characters and "…" after them, so that a
// unit with a name of thousands of characters does not widen every row.
inline constexpr qsizetype kShownTextLength = 64;
QString shortened(const QString &text, qsizetype maxLength = kShownTextLength);

// The document as QJsonDocument writes it, with DEL and U+0080 to U+009F escaped too ("\u009b");
// QJsonDocument escapes the other controls itself, and writes these raw.
QByteArray jsonText(const QJsonDocument &document, QJsonDocument::JsonFormat format);

// The JSON the tool writes (list and update events, the history) has one set of keys, all
// camelCase, and says its version in every summary and at the top of the history as "schema": a
// script checks it before it reads the keys. It goes up when a key changes or goes.
inline constexpr int kJsonSchema = 1;
// A time in that JSON: ISO 8601 with milliseconds and the time's own UTC offset,
// "2026-12-09T18:40:02.123+00:00" (never "Z"); null for none.
QJsonValue jsonTime(const QDateTime &time);
// A calendar date in it, "2015-01-05"; null for none (a unit's version text that is no date).
QJsonValue jsonDate(const QDate &date);
