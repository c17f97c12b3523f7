#include "viewmodel/Device.h"
#include "viewmodel/DeviceItem.h"
#include "viewmodel/JOVFidoDevice.h"
#include "viewmodel/RpItem.h"

#include <gtest/gtest.h>

#include <memory>
#include <unordered_set>

namespace {
// Distinct USB handles without real devices behind them: records only compare and hash the handle's identity,
// they never reach through it.
std::shared_ptr<HidDevice> usbHandle()
{
    const auto storage = std::make_shared<int>(0);
    return std::shared_ptr<HidDevice>(storage, reinterpret_cast<HidDevice*>(storage.get()));
}
} // namespace

TEST(JOVFidoDevice, NearMissesOfTheRawNamesAreOtherKeys)
{
    for (const char* raw : {"kwo fido", "KWO FIDO ", " KWO FIDO", "0e783381024a4f56204b574f3032",
                            "0E783381024A4F56204B574F30", ""}) {
        EXPECT_FALSE(jovFidoDeviceFromRawValue(raw)) << raw;
        // Other keys keep their own name and get the USB key's picture.
        EXPECT_EQ(displayName(raw), raw);
        EXPECT_EQ(imageName(raw), imageName(displayName("KWO FIDO")));
    }
}

TEST(Device, UsbKeysCompareByObjectIdentityAndCardsByReaderName)
{
    const auto key = usbHandle();
    const auto twin = usbHandle(); // another object, as a re-plugged key gets
    const Device usb = Device::hidDevice(key);

    EXPECT_EQ(usb, Device::hidDevice(key));
    EXPECT_TRUE(Device::isSame(usb, Device::hidDevice(key)));
    EXPECT_NE(usb, Device::hidDevice(twin));
    EXPECT_FALSE(Device::isSame(usb, Device::hidDevice(twin)));
    EXPECT_EQ(usb.hid(), key);
    EXPECT_TRUE(usb.isHidDevice());
    EXPECT_EQ(usb.readerName(), "");

    const Device card = Device::pcscDevice("Virtual PCD 00 00");
    EXPECT_TRUE(card.isPcscDevice());
    EXPECT_EQ(card.hid(), nullptr);
    EXPECT_EQ(card, Device::pcscDevice("Virtual PCD 00 00"));
    EXPECT_NE(card, Device::pcscDevice("Virtual PCD 00 01"));
    EXPECT_NE(card, Device::pcscDevice("virtual pcd 00 00"));

    // A USB handle and a card never match, not even a handle to no object against a reader without a name.
    EXPECT_NE(Device(), Device::pcscDevice(""));
    EXPECT_FALSE(Device::isSame(usb, card));
    EXPECT_FALSE(Device::isSame(Device(), Device::pcscDevice("")));
}

TEST(Device, HashesAgreeWithEqualityInSets)
{
    const auto key = usbHandle();
    std::unordered_set<Device> devices{Device::hidDevice(key), Device::hidDevice(key), Device::hidDevice(usbHandle()),
                                       Device::pcscDevice("Virtual PCD 00 00"),
                                       Device::pcscDevice("Virtual PCD 00 00")};
    EXPECT_EQ(devices.size(), 3u);
    EXPECT_TRUE(devices.contains(Device::hidDevice(key)));
    EXPECT_TRUE(devices.contains(Device::pcscDevice("Virtual PCD 00 00")));
    EXPECT_FALSE(devices.contains(Device::pcscDevice("Virtual PCD 00 01")));
}

TEST(RpItem, RowsAreKnownByCredentialIdOnly)
{
    const RpItem row{"example.com", "Example", "A379A6F6EEAFB9A55E378C118034E2751E682FAB9F2D30AB13D2125586CE1947",
                     {1, 2, 3}, "alice", "0102AABB", "public-key", false};
    RpItem ticked = row;
    ticked.isChecked = true;
    ticked.name = "example.com";
    EXPECT_EQ(row, ticked);
    EXPECT_EQ(std::hash<RpItem>{}(row), std::hash<RpItem>{}(ticked));

    RpItem otherCredential = row;
    otherCredential.credentialId = "0102AABC";
    EXPECT_NE(row, otherCredential);

    std::unordered_set<RpItem> rows{row, ticked, otherCredential};
    EXPECT_EQ(rows.size(), 2u);
}
