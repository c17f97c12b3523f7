#pragma once

#include "viewmodel/DeviceViewModel.h"

class SingleInstance;

// The application: the one view model of the process, made with the application before any window exists, and
// the one window that shows it. One program runs per user session; a later launch brings this one forward.
class MarrowtillanceApp {
public:
    // The program's entry: runs the application until its window closes and gives the process's exit code.
    static int main(int argc, char** argv);

private:
    MarrowtillanceApp() = default;
    int run(SingleInstance& instance);

    DeviceViewModel dv;
};
