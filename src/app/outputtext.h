#pragma once

#include <QByteArray>
#include <QJsonDocument>
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
