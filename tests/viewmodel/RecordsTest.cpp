#include "viewmodel/Device.h"
#include "viewmodel/JOVFidoDevice.h"

#include <gtest/gtest.h>

#include <memory>

// Near misses of the raw names are other keys: they keep their own name and get the USB key's picture.
TEST(JOVFidoDevice, NearMissesOfTheRawNamesAreOtherKeys)
{
    for (const char* raw : {"kwo fido", "KWO FIDO ", " KWO FIDO", "0e783381024a4f56204b574f3032",
                            "0E783381024A4F56204B574F30", ""}) {
        EXPECT_FALSE(jovFidoDeviceFromRawValue(raw)) << raw;
        EXPECT_EQ(displayName(raw), raw);
        EXPECT_EQ(imageName(raw), imageName(displayName("KWO FIDO")));
    }
}

// A re-plugged key is another device even on the same node; a card is its reader; the two never match.
TEST(Device, UsbKeysCompareByObjectIdentityAndCardsByReaderName)
{
    // Handles without devices behind them: a Device only compares the handle's identity.
    const auto storage = std::make_shared<int>(0);
    const auto key = std::shared_ptr<HidDevice>(storage, reinterpret_cast<HidDevice*>(storage.get()));
    const auto twin = std::shared_ptr<HidDevice>(storage, reinterpret_cast<HidDevice*>(storage.get() + 1));
    EXPECT_TRUE(Device::isSame(Device::hidDevice(key), Device::hidDevice(key)));
    EXPECT_FALSE(Device::isSame(Device::hidDevice(key), Device::hidDevice(twin)));
    EXPECT_TRUE(Device::isSame(Device::pcscDevice("Virtual PCD 00 00"), Device::pcscDevice("Virtual PCD 00 00")));
    EXPECT_FALSE(Device::isSame(Device::pcscDevice("Virtual PCD 00 00"), Device::pcscDevice("virtual pcd 00 00")));
    EXPECT_FALSE(Device::isSame(Device(), Device::pcscDevice("")));
}
