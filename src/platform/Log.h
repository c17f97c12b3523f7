#pragma once

#include <functional>
#include <string_view>

// Log lines are plain lines on standard output. Tests can add a sink to observe them.
void logLine(std::string_view line);

// Installs an extra receiver of every line (nullptr removes it); returns the previous one.
using LogSink = std::function<void(std::string_view)>;
LogSink setLogSink(LogSink sink);
