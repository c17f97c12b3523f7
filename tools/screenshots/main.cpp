// Writes pictures of the window into a folder, as <scene>-<language>-<light|dark>.png: the window is driven
// through the view model's own intents, against software USB keys and, when pcscd with the virtual reader runs,
// a software card.
// Usage: screenshots <folder>
#include "softkey/SoftKeyFixtures.h"
#include "support/CardRig.h"
#include "support/UsbKeyRig.h"
#include "viewmodel/DeviceViewModel.h"
#include "viewmodel/MemoryConfig.h"
#include "views/ColourSchemes.h"
#include "views/MainWindow.h"

#include <QApplication>
#include <QDir>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <thread>

namespace {

const char* const credentialFixtures = R"(
pin 123456
rp id=example.com name="Example Corp"
credential rp=example.com user=A1B2 userName=alice@example.com displayName="Alice A" id=7A253013007284B88201A211CB71767DB55150220140F4C7C7B5D3C395E57CD1
rp id=accounts.sign-in.customer-services.region-west.department-of-examples.a-relying-party-whose-identifier-wraps.example-organisation.co.uk name="Wrapping Corp"
credential rp=accounts.sign-in.customer-services.region-west.department-of-examples.a-relying-party-whose-identifier-wraps.example-organisation.co.uk user=A1B4 userName=bob id=2DD8A42794FB6C219F07E341482F20FB502D15766C226194CF0740030BD42A52
credential rp=example.com user=A1B3 userName="   " displayName="Nobody" id=CE60C4717A8230C7669C93A8983E4B5DD1110E8338852985AE809537F7F5EED6
rp id=very-long-relying-party-identifier.login.accounts.subdomain.example-organisation.co.uk name=""
credential rp=very-long-relying-party-identifier.login.accounts.subdomain.example-organisation.co.uk user=0102 userName="a user name that is rather longer than most people would ever choose for themselves on any site at all" id=0AC72834DB1B8D52BB820BAAD6A65569312C1560AC33CCE728EAD767FBA3B529
)";

// A window on its own view model, in one language, with Advanced Mode on.
class Journey {
public:
    Journey(QString folder, Language language) : folder_(std::move(folder))
    {
        config_->values = {{"Language", std::string(rawValue(language))}, {"AdvancedMode", "true"}};
        DeviceViewModel::Dependencies deps;
        deps.hidHelper = &rig_.helper();
        deps.config = config_;
        vm_ = std::make_unique<DeviceViewModel>(deps);
        WindowHooks hooks;
        hooks.minimize = [](QWidget*) {};
        hooks.exit = [](QWidget*) {};
        hooks.startMove = [](QWidget*) { return true; };
        window_ = std::make_unique<MainWindow>(*vm_, hooks);
        window_->show();
        vm_->startUsbThread();
    }
    ~Journey()
    {
        window_.reset();
        vm_->shutdown();
    }

    DeviceViewModel& vm() { return *vm_; }
    UsbKeyRig& rig() { return rig_; }

    void waitFor(const char* what, const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                std::cerr << "screenshots: gave up waiting for " << what << "\n";
                std::exit(1);
            }
            QApplication::processEvents(QEventLoop::AllEvents, 5);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    void waitIdle() { waitFor("the key's answer", [this] { return !vm_->busy(); }); }

    void shoot(const QString& scene)
    {
        const std::string_view code = rawValue(vm_->language());
        for (bool dark : {false, true}) {
            setDarkScheme(dark);
            QApplication::processEvents();
            const QString file = QStringLiteral("%1/%2-%3-%4.png")
                                     .arg(folder_, scene, QString::fromLatin1(code.data(), 2), dark ? "dark" : "light");
            if (!window_->grab().save(file)) {
                std::cerr << "screenshots: cannot write " << file.toStdString() << "\n";
                std::exit(1);
            }
        }
        setDarkScheme(false);
    }

    // Selects the listed key of this kind.
    void select(bool card)
    {
        waitIdle();
        for (const DeviceItem& item : vm_->deviceList())
            if (item.device.isPcscDevice() == card)
                vm_->selectDeviceItem(item);
    }

    // A key whose PIN and credentials the fixtures give, listed as having them.
    UsbKeyRig::Key& plugWith(const char* fixtures)
    {
        UsbKeyRig::Key& key = rig_.plug();
        std::string error;
        if (!SoftKeyFixtures::load(fixtures, key.authenticator(), error)) {
            std::cerr << "screenshots: fixtures: " << error << "\n";
            std::exit(1);
        }
        const std::size_t before = vm_->deviceList().size();
        waitFor("the key to be listed", [&] { return vm_->deviceList().size() == before + 1; });
        rig_.unplug(key);
        waitFor("the key to leave", [&] { return vm_->deviceList().size() == before; });
        UsbKeyRig::Key& again = rig_.replug(key);
        waitFor("the key to be listed", [&] { return vm_->deviceList().size() == before + 1; });
        return again;
    }

    void openCredentials(const char* pin)
    {
        vm_->showPinViewForCredMgmt();
        vm_->pinFieldEdited(DeviceViewModel::PinField::authPin, pin);
        vm_->updatePinInputDone();
        vm_->pinOkClicked();
        waitFor("the credential list", [this] { return vm_->credMgmtViewVisible() && !vm_->loading(); });
    }

private:
    QString folder_;
    UsbKeyRig rig_;
    std::shared_ptr<MemoryConfig> config_ = std::make_shared<MemoryConfig>();
    std::unique_ptr<DeviceViewModel> vm_;
    std::unique_ptr<MainWindow> window_;
};

void journey(const QString& folder, Language language, CardRig* card)
{
    Journey j(folder, language);
    DeviceViewModel& vm = j.vm();
    j.shoot("empty-list");

    UsbKeyRig::Key& key = j.plugWith(credentialFixtures);
    const bool withCard = card && card->insert();
    if (withCard)
        j.waitFor("the card to be listed", [&] { return vm.deviceList().size() == 2; });
    j.select(withCard);
    j.shoot("two-keys");

    // A key without a PIN: the set shape, and what two different entries get.
    vm.showPinViewForSetOrChange();
    j.shoot("pin-set");
    vm.pinFieldEdited(DeviceViewModel::PinField::newPin, "1234");
    vm.pinFieldEdited(DeviceViewModel::PinField::confirmPin, "4321");
    vm.updatePinInputDone();
    vm.pinOkClicked();
    j.waitFor("the message", [&] { return vm.showMessageBox(); });
    j.shoot("message-ok");
    vm.closeMessageBox(true);
    vm.pinCancelClicked();
    // Back on the list the selected key is read again; the box is shown once that is over, so the top bar's
    // buttons are pictured enabled.
    j.waitIdle();
    // The longest of the outcome texts, as the box shows it in this language.
    const UIStringVal& texts = vm.uiStr();
    std::string longest;
    for (const std::string* text : {&texts.pinAuthBlocked, &texts.pinBlocked, &texts.keyBusyNothingChanged,
                                    &texts.keyNoClearAnswer, &texts.credMgmtDeleteNeedsPin, &texts.credMgmtReadFailed})
        if (QString::fromStdString(*text).size() > QString::fromStdString(longest).size())
            longest = *text;
    vm.presentMessageBox(texts.pinMessageBoxTitle, longest, texts.pinOk, std::nullopt, {});
    j.waitFor("the message", [&] { return vm.showMessageBox(); });
    j.shoot("message-longest");
    vm.closeMessageBox(true);

    j.select(false);
    vm.showPinViewForSetOrChange();
    vm.pinFieldEdited(DeviceViewModel::PinField::oldPin, "1234");
    j.shoot("pin-change");
    vm.pinCancelClicked();
    j.select(false);
    vm.showPinViewForCredMgmt();
    j.shoot("pin-auth");
    vm.pinCancelClicked();
    j.select(false);
    j.openCredentials("123456");
    vm.setRpItemChecked(0, true);
    j.shoot("credential-list");
    vm.credMgmtBackClicked();

    // The reset's warning and its two waits: the key back (the card tapped twice), then its touch.
    j.select(withCard);
    vm.confirmReset();
    j.waitFor("the warning", [&] { return vm.showMessageBox(); });
    j.shoot("message-ok-cancel");
    vm.closeMessageBox(true);
    j.waitFor("the re-insert prompt", [&] { return vm.reinsertNeeded(); });
    j.shoot("reinsert-prompt");
    vm.cancelReinsert();
    j.waitFor("the re-insert prompt to go", [&] { return !vm.reinsertNeeded(); });
    j.select(false);
    vm.confirmReset();
    j.waitFor("the warning", [&] { return vm.showMessageBox(); });
    vm.closeMessageBox(true);
    j.waitFor("the re-insert prompt", [&] { return vm.reinsertNeeded(); });
    key.authenticator().setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
    j.rig().unplug(key);
    j.rig().replug(key);
    j.waitFor("the touch prompt", [&] { return vm.waitUserTouch(); });
    j.shoot("touch-prompt");
    vm.cancelUserTouch();
    j.waitFor("the touch prompt to go", [&] { return !vm.waitUserTouch() && !vm.busy(); });

    vm.showSettings();
    j.shoot("settings");
    vm.saveAdvancedMode();

    j.plugWith("pin 1234\n");
    j.waitIdle();
    vm.selectDeviceItem(vm.deviceList().back());
    j.openCredentials("1234");
    j.shoot("credential-list-empty");
    if (withCard)
        card->remove();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: screenshots <folder>\n";
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    prepareApplication();
    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder)) {
        std::cerr << "screenshots: cannot make " << argv[1] << "\n";
        return 1;
    }
    CardRig card;
    for (Language language : allLanguages)
        journey(folder, language, &card);
    std::cout << "Pictures in " << argv[1] << "\n";
    return 0;
}
