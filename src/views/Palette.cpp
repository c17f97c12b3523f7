#include "views/Palette.h"

#include <QApplication>
#include <QHash>
#include <QPainter>
#include <QPalette>
#include <QSvgRenderer>

#include <memory>

namespace Palette {

QColor midnightBlue() { return QColor(0x19, 0x2A, 0x56); }
QColor darkBackground() { return QColor(0x1E, 0x1F, 0x24); }
QColor dimBackground() { return QColor(0x3A, 0x3C, 0x43); }
QColor lightGray() { return QColor(0xE4, 0xE6, 0xEB); }
QColor gray() { return QColor(0x8E, 0x8E, 0x93); }
QColor green() { return QColor(0x34, 0xC7, 0x59); }
QColor blue() { return QColor(0x0A, 0x84, 0xFF); }

bool isDark()
{
    return QApplication::palette().color(QPalette::Window).lightnessF() < 0.5;
}

QColor textColor() { return QApplication::palette().color(QPalette::WindowText); }
QColor backgroundColor() { return isDark() ? darkBackground() : QColor(Qt::white); }
QColor panelColor() { return isDark() ? dimBackground() : lightGray(); }
QColor scrollTrackColor() { return isDark() ? QColor(0x2C, 0x2E, 0x34) : QColor(0xEE, 0xEF, 0xF2); }
QColor scrollHandleColor() { return isDark() ? QColor(0x8A, 0x8C, 0x94) : QColor(0x9A, 0x9C, 0xA3); }

QColor fromRgba(std::uint32_t rgba)
{
    auto channel = [rgba](int shift) { return static_cast<float>((rgba >> shift) & 0xFFu) / 256.0f; };
    return QColor::fromRgbF(channel(24), channel(16), channel(8), channel(0));
}

QColor fromRgb(std::uint32_t rgb)
{
    auto channel = [rgb](int shift) { return static_cast<float>((rgb >> shift) & 0xFFu) / 256.0f; };
    return QColor::fromRgbF(channel(16), channel(8), channel(0), 1.0f);
}

namespace {
// Renderers are made once per image, on the main thread, and live for the process.
QSvgRenderer* renderer(const QString& name)
{
    static QHash<QString, std::shared_ptr<QSvgRenderer>> cache;
    auto it = cache.find(name);
    if (it == cache.end()) {
        auto made = std::make_shared<QSvgRenderer>(QStringLiteral(":/images/%1.svg").arg(name));
        it = cache.insert(name, made->isValid() ? made : nullptr);
    }
    return it->get();
}
} // namespace

void drawImage(QPainter& painter, const QString& name, const QRectF& target)
{
    if (QSvgRenderer* svg = renderer(name)) {
        svg->setAspectRatioMode(Qt::IgnoreAspectRatio);
        svg->render(&painter, target);
    }
}

QFont font(int pixelSize, QFont::Weight weight)
{
    QFont f = QApplication::font();
    f.setPixelSize(pixelSize);
    f.setWeight(weight);
    return f;
}

QFont titleFont() { return font(22); }
QFont headlineFont() { return font(15, QFont::DemiBold); }

} // namespace Palette
