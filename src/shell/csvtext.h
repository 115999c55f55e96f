#pragma once
#include <QIODevice>
#include <QString>
#include <QStringList>

namespace relvix {

// One CSV field as RFC 4180 has it: quoted, with its quotes doubled, when it holds a comma,
// a quote or a line break.
inline QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')) &&
        !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// One record, CRLF-terminated as RFC 4180 has it.
inline QString csvRecordText(const QStringList &fields)
{
    QStringList quoted;
    quoted.reserve(fields.size());
    for (const QString &f : fields)
        quoted << csvField(f);
    return quoted.join(QLatin1Char(',')) + QStringLiteral("\r\n");
}

// One record in UTF-8; false when the write failed.
inline bool writeCsvRecord(QIODevice &file, const QStringList &fields)
{
    const QByteArray bytes = csvRecordText(fields).toUtf8();
    return file.write(bytes) == bytes.size();
}

} // namespace relvix
