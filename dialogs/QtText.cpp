#include "dialogs/QtText.h"

#include <QStringDecoder>

namespace gui {

QString ToQt(const std::string& text)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = utf8.decode(QByteArrayView(text.data(), qsizetype(text.size())));
    if (!utf8.hasError())
        return decoded;
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

QString ToQtLines(const std::string& text)
{
    QString s = ToQt(text);
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

std::string FromQt(const QString& text)
{
    return text.toStdString();
}

QString StripMnemonic(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&')) {
            if (i + 1 < text.size() && text[i + 1] == QLatin1Char('&'))
                out += QLatin1Char('&');
            else if (i + 1 < text.size())
                out += text[i + 1];
            ++i;
            continue;
        }
        out += text[i];
    }
    return out;
}

std::string PromptLine(const std::string& prompt)
{
    return prompt.substr(0, prompt.find('\n'));
}

} // namespace gui
