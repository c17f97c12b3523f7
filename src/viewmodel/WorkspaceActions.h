#pragma once

#include "viewmodel/Workspace.h"

#include <optional>
#include <string>
#include <string_view>

// The top bar's companion-application and manual actions.

// The companion one-time-password application.
inline constexpr std::string_view otpAppName = "Tallowfin-OTP";
inline constexpr std::string_view otpAppFolder = "JOV Fido Tools";

// Starts <applications folder>/<folder>/<appName>; logs a line when there is no applications folder or the
// application does not start.
void openApp(Workspace& workspace, std::string_view appName, std::string_view folder);

// The first entry of the resource folder, searched recursively in the file system's order, whose path
// relative to that folder begins with "USR-KWO" and ends with "pdf"; that path without its extension.
std::optional<std::string> findUserManual(const Workspace& workspace);

// Shows the manual that findUserManual names; logs why when there is none or it cannot be shown.
void openUserManual(Workspace& workspace);
