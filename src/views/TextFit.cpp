#include "views/TextFit.h"

#include "views/Palette.h"

#include <QFontMetrics>
#include <QLabel>
#include <QStringList>
#include <QTextLayout>
#include <QTextOption>

QString fitText(const QString& text, const QFont& font, int width, int maxLines, Wrap wrap)
{
    if (text.isEmpty() || width <= 0 || maxLines <= 0)
        return {};
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(wrap == Wrap::Anywhere ? QTextOption::WrapAnywhere
                                              : QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        if (lines.size() + 1 == maxLines) {
            // The last line that fits takes the rest of the text, cut to the width.
            QString rest = text.mid(line.textStart());
            rest.replace(QLatin1Char('\n'), QLatin1Char(' '));
            lines << QFontMetrics(font).elidedText(rest, Qt::ElideRight, width);
            break;
        }
        QString part = text.mid(line.textStart(), line.textLength());
        while (part.endsWith(QLatin1Char(' ')) || part.endsWith(QLatin1Char('\n')))
            part.chop(1);
        lines << part;
    }
    layout.endLayout();
    return lines.join(QLatin1Char('\n'));
}

QFont fittingFont(QFont font, const QString& text, int width, int minPixelSize)
{
    while (font.pixelSize() > minPixelSize && QFontMetrics(font).horizontalAdvance(text) > width)
        font.setPixelSize(font.pixelSize() - 1);
    return font;
}

QLabel* plainLabel(QWidget* parent, const char* objectName, int pixelSize)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(objectName));
    label->setFont(Palette::font(pixelSize));
    label->setTextFormat(Qt::PlainText);
    return label;
}
