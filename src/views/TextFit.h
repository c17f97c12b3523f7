#pragma once

#include <QFont>
#include <QString>

#include <string_view>

class QLabel;
class QWidget;

// The model's UTF-8 text as Qt text.
inline QString qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// A label that shows its text as plain text (never as markup) in the application font at a pixel size.
QLabel* plainLabel(QWidget* parent, const char* objectName, int pixelSize);

// Lays a text out in a box of the given width: wrapped at word boundaries (or anywhere, for identifiers
// without spaces) into at most maxLines lines, the last one cut with an ellipsis when the text is longer.
// The result holds explicit line breaks, so a label shows exactly these lines.
enum class Wrap { Words, Anywhere };
QString fitText(const QString& text, const QFont& font, int width, int maxLines, Wrap wrap = Wrap::Words);

// The font at its size, or smaller down to minPixelSize, at which the text fits on one line of the width.
QFont fittingFont(QFont font, const QString& text, int width, int minPixelSize);
