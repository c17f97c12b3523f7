// Writes pictures of the window for a reviewer to look at: each scene in light and dark and in each language
// it is asked in, into the build folder's screenshots/.
#include "WindowHarness.h"

#include "support/CardRig.h"

#include <QDir>

#include <gtest/gtest.h>

namespace {

const QString shotDir = QStringLiteral(MT_SCREENSHOT_DIR);

void saveShot(WindowHarness& h, const QString& scene)
{
    QDir().mkpath(shotDir);
    for (bool dark : {false, true}) {
        setDarkScheme(dark);
        pumpFor(std::chrono::milliseconds(20));
        const QString file = shotDir + "/" + scene + "-" +
                             QString::fromLatin1(caseName(h.vm().language()).data(), 2).toLower() +
                             (dark ? "-dark" : "-light") + ".png";
        ASSERT_TRUE(h.window->grab().save(file)) << file.toStdString();
    }
    setDarkScheme(false);
}

// Steps the language button until the language is the wanted one.
void useLanguage(WindowHarness& h, Language language)
{
    while (h.vm().language() != language)
        h.click("languageButton");
}

} // namespace

TEST(Screenshots, DeviceList)
{
    for (Language language : {Language::EN, Language::JP}) {
        CardRig card;
        WindowHarness h(true, {{"Language", std::string(rawValue(language))}});
        saveShot(h, "empty-list");
        h.model.plugAndList();
        ASSERT_TRUE(card.insert());
        ASSERT_TRUE(pumpUntil([&] { return h.vm().deviceList().size() == 2; }));
        h.vm().selectDeviceItem(h.vm().deviceList()[0]);
        saveShot(h, "two-keys");
        useLanguage(h, language);
    }
}
