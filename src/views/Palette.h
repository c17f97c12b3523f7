#pragma once

#include <QColor>
#include <QFont>
#include <QString>

#include <cstdint>

class QPainter;
class QRectF;

// The application's named colours and images, and the choosers that pick a colour for the current scheme.
// Dark or light follows the application palette: dark when its window colour is dark. Views read the
// choosers while they paint, so a scheme change only needs a repaint.
namespace Palette {

QColor midnightBlue();
QColor darkBackground();
QColor dimBackground();
QColor lightGray();

// The separators' grey and the standard button's bar.
QColor gray();
// The platform's plain green and blue: the drag area's test look, and a ticked check box.
QColor green();
QColor blue();

bool isDark();
QColor textColor();       // the scheme's primary text colour
QColor backgroundColor(); // window and credential rows: white, or darkBackground
QColor panelColor();      // bars and dialog panels: lightGray, or dimBackground
// A list's scroll bar: the handle stands out from its track, and the track from the rows beside it.
QColor scrollTrackColor();
QColor scrollHandleColor();

// Colours from packed numbers; each 8-bit channel c becomes c / 256.
QColor fromRgba(std::uint32_t rgba);
QColor fromRgb(std::uint32_t rgb);

// Draws one of the compiled-in images ("logo", "otp", "settings", "help", "minimize", "close", "Tallowfin",
// "TallowfinNFC") stretched into the rectangle. An unknown name draws nothing.
void drawImage(QPainter& painter, const QString& name, const QRectF& target);

// The application font at a pixel size (sizes are the layout's points taken as pixels).
QFont font(int pixelSize, QFont::Weight weight = QFont::Normal);
QFont titleFont();    // large headings and list prompts
QFont headlineFont(); // dialog messages and prompts

} // namespace Palette
