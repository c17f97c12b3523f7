// Writes pictures of the window for a reviewer to look at: each scene in light and dark, into the build
// folder's screenshots/ as <scene>-<language>-<scheme>.png.
#include "WindowHarness.h"

#include "softkey/SoftKeyFixtures.h"
#include "support/CardRig.h"

#include <QDir>

#include <gtest/gtest.h>

namespace {

const QString shotDir = QStringLiteral(MT_SCREENSHOT_DIR);

void saveShot(WindowHarness& h, const QString& scene)
{
    QDir().mkpath(shotDir);
    const QString language = QString::fromLatin1(rawValue(h.vm().language()).data(), 2);
    for (bool dark : {false, true}) {
        setDarkScheme(dark);
        QApplication::processEvents();
        const QString file = shotDir + "/" + scene + "-" + language + (dark ? "-dark" : "-light") + ".png";
        ASSERT_TRUE(h.window->grab().save(file)) << file.toStdString();
    }
    setDarkScheme(false);
}

const char* const credentialFixture = R"(
pin 123456
rp id=example.com name="Example Corp"
credential rp=example.com user=A1B2 userName=alice@example.com displayName="Alice A" id=7A253013007284B88201A211CB71767DB55150220140F4C7C7B5D3C395E57CD1
rp id=accounts.sign-in.customer-services.region-west.department-of-examples.a-relying-party-whose-identifier-wraps.example-organisation.co.uk name="Wrapping Corp"
credential rp=accounts.sign-in.customer-services.region-west.department-of-examples.a-relying-party-whose-identifier-wraps.example-organisation.co.uk user=A1B4 userName=bob id=2DD8A42794FB6C219F07E341482F20FB502D15766C226194CF0740030BD42A52
credential rp=example.com user=A1B3 userName="   " displayName="Nobody" id=CE60C4717A8230C7669C93A8983E4B5DD1110E8338852985AE809537F7F5EED6
rp id=very-long-relying-party-identifier.login.accounts.subdomain.example-organisation.co.uk name=""
credential rp=very-long-relying-party-identifier.login.accounts.subdomain.example-organisation.co.uk user=0102 userName="a user name that is rather longer than most people would ever choose for themselves on any site at all" id=0AC72834DB1B8D52BB820BAAD6A65569312C1560AC33CCE728EAD767FBA3B529
)";

class Screenshots : public testing::TestWithParam<Language> {};

} // namespace

TEST_P(Screenshots, EveryPageAndDialog)
{
    CardRig card;
    WindowHarness h(true, {{"Language", std::string(rawValue(GetParam()))}, {"AdvancedMode", "true"}});
    saveShot(h, "empty-list");

    auto& key = h.model.plugAndList();
    std::string error;
    ASSERT_TRUE(SoftKeyFixtures::load(credentialFixture, key.authenticator(), error)) << error;
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(pumpUntil([&] { return h.vm().deviceList().size() == 2; }));
    h.vm().selectDeviceItem(h.vm().deviceList()[1]);
    saveShot(h, "two-keys");

    // The card has no PIN: the set shape; then the USB key's three shapes after a fresh read.
    h.vm().showPinViewForSetOrChange();
    saveShot(h, "pin-set");
    h.vm().pinCancelClicked();
    ASSERT_TRUE(h.model.waitIdle());
    h.model.rig.unplug(key);
    ASSERT_TRUE(pumpUntil([&] { return h.vm().deviceList().size() == 1; }));
    auto& again = h.model.rig.replug(key);
    (void)again;
    ASSERT_TRUE(pumpUntil([&] { return h.vm().deviceList().size() == 2; }));
    h.vm().selectDeviceItem(h.vm().deviceList()[1]);
    saveShot(h, "two-keys-pin-set");
    h.vm().showPinViewForSetOrChange();
    h.vm().setOldPin("1234");
    saveShot(h, "pin-change");
    h.vm().pinCancelClicked();
    ASSERT_TRUE(h.model.waitIdle());
    h.vm().selectDeviceItem(h.vm().deviceList()[1]);
    h.vm().showPinViewForCredMgmt();
    saveShot(h, "pin-auth");

    h.vm().setAuthPin("123456");
    h.vm().updatePinInputDone();
    h.vm().pinOkClicked();
    ASSERT_TRUE(pumpUntil([&] { return h.vm().credMgmtViewVisible() && !h.vm().loading(); }));
    ASSERT_EQ(h.vm().rpList().size(), 4u);
    h.vm().setRpItemChecked(0, true);
    saveShot(h, "credential-list");

    h.vm().presentMessageBox(h.vm().uiStr().resetMessageBoxTitle, h.vm().uiStr().resetWarning,
                             h.vm().uiStr().pinOk, h.vm().uiStr().pinCancel, {});
    ASSERT_TRUE(pumpUntil([&] { return h.vm().showMessageBox(); }));
    saveShot(h, "message-ok-cancel");
    h.vm().closeMessageBox(false);
    h.vm().presentMessageBox(h.vm().uiStr().pinMessageBoxTitle, h.vm().uiStr().pinChangeNotMatch,
                             h.vm().uiStr().pinOk, std::nullopt, {});
    ASSERT_TRUE(pumpUntil([&] { return h.vm().showMessageBox(); }));
    saveShot(h, "message-ok");
    h.vm().closeMessageBox(true);

    h.vm().setTouchPromptTextValue(h.vm().uiStr().touchTwicePrompt);
    h.vm().setWaitUserTouchValue(true);
    saveShot(h, "touch-prompt");
    h.vm().setWaitUserTouchValue(false);
    h.vm().setReinsertText(h.vm().uiStr().reinsertPromptNfc);
    h.vm().setReinsertNeeded(true);
    saveShot(h, "reinsert-prompt");
    h.vm().setReinsertNeeded(false);

    h.vm().credMgmtBackClicked();
    ASSERT_TRUE(h.model.waitIdle());
    h.vm().showSettings();
    ASSERT_TRUE(h.vm().settingsViewVisible());
    saveShot(h, "settings");
    h.vm().saveAdvancedMode();
    ASSERT_TRUE(h.model.waitIdle());
}

TEST(ScreenshotsEmpty, CredentialListWithNothingOnTheKey)
{
    WindowHarness h(false, {{"AdvancedMode", "true"}});
    auto& key = h.model.plugAndList();
    ASSERT_TRUE(key.authenticator().setPin("1234"));
    h.model.rig.unplug(key);
    h.model.rig.replug(key);
    ASSERT_TRUE(pumpUntil([&] { return h.vm().deviceList().size() == 1 && h.vm().deviceList()[0].pinPresent; }));
    h.vm().selectDeviceItem(h.vm().deviceList()[0]);
    h.vm().showPinViewForCredMgmt();
    h.vm().setAuthPin("1234");
    h.vm().pinOkClicked();
    ASSERT_TRUE(pumpUntil([&] { return h.vm().credMgmtViewVisible() && !h.vm().loading(); }));
    saveShot(h, "credential-list-empty");
}

INSTANTIATE_TEST_SUITE_P(Languages, Screenshots, testing::Values(Language::EN, Language::ES, Language::JP, Language::CN),
                         [](const testing::TestParamInfo<Language>& param) {
                             return std::string(rawValue(param.param));
                         });
