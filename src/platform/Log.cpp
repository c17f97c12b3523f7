#include "platform/Log.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex& logMutex()
{
    static std::mutex m;
    return m;
}

LogSink& sink()
{
    static LogSink s;
    return s;
}

} // namespace

void logLine(std::string_view line)
{
    std::lock_guard lock(logMutex());
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (sink())
        sink()(line);
}

LogSink setLogSink(LogSink newSink)
{
    std::lock_guard lock(logMutex());
    LogSink old = std::move(sink());
    sink() = std::move(newSink);
    return old;
}
