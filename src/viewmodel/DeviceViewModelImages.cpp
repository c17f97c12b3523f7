#include "viewmodel/DeviceViewModel.h"
#include "viewmodel/JOVFidoDevice.h"

std::string DeviceViewModel::imageName(std::string_view displayedName)
{
    return ::imageName(displayedName);
}
