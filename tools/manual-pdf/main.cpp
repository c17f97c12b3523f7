// Writes the Markdown user guide as the A4 PDF that the Help button opens. Runs at build time, offscreen.
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <cstdio>

namespace {

// The PDF's title is the guide's first heading, so a viewer's title bar names the guide, not the file.
QString firstHeading(const QString& markdown)
{
    static const QRegularExpression heading(QStringLiteral("^#+\\s+(.+?)\\s*$"), QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = heading.match(markdown);
    return match.hasMatch() ? match.captured(1) : QString();
}

// The Markdown importer sets headings almost flush with the paragraph above them; on paper a section reads
// better with a gap above its heading than below it.
void spaceHeadings(QTextDocument& document)
{
    QTextCursor cursor(&document);
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        const int level = block.blockFormat().headingLevel();
        if (level == 0)
            continue;
        QTextBlockFormat format = block.blockFormat();
        format.setTopMargin(level == 1 ? 0.0 : 14.0);
        format.setBottomMargin(level == 1 ? 10.0 : 4.0);
        cursor.setPosition(block.position());
        cursor.setBlockFormat(format);
    }
}

bool writePdf(const QString& markdown, const QString& output)
{
    // QPdfWriter gives no status: start from no file, so a failed write cannot leave an older guide looking new.
    QFile::remove(output);
    {
        QPdfWriter writer(output);
        writer.setTitle(firstHeading(markdown));
        writer.setCreator(QStringLiteral("JOV Marrowtillance"));
        writer.setResolution(300);
        // QTextDocument::print adds 2 cm of its own around the text and puts the page numbers in that margin.
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(0, 0, 0, 0),
                                         QPageLayout::Millimeter));

        QTextDocument document;
        QFont font(QStringLiteral("Sans Serif"));
        font.setStyleHint(QFont::SansSerif);
        font.setPointSizeF(10.5);
        // Qt writes a ligature as one character (U+FB01 for "fi"): copying "confirm" out of the PDF would give
        // a word that search does not find. Latin text needs no shaping beyond ligatures and kerning.
        font.setStyleStrategy(QFont::PreferNoShaping);
        document.setDefaultFont(font);
        document.setMarkdown(markdown);
        spaceHeadings(document);
        document.print(&writer);
    }
    return QFileInfo(output).size() > 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: manual-pdf GUIDE.md OUTPUT.pdf\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    const QStringList arguments = QGuiApplication::arguments();
    QFile source(arguments.at(1));
    if (!source.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "manual-pdf: cannot read %s\n", qPrintable(arguments.at(1)));
        return 1;
    }
    if (!writePdf(QString::fromUtf8(source.readAll()), arguments.at(2))) {
        std::fprintf(stderr, "manual-pdf: cannot write %s\n", qPrintable(arguments.at(2)));
        return 1;
    }
    return 0;
}
