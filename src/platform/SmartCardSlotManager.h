#pragma once

#include "platform/Observation.h"
#include "platform/PcscApi.h"
#include "platform/SmartCardSlot.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Watches the PC/SC readers and the cards on them. One thread blocks in getStatusChange on a context of its
// own (every reader plus the plug-and-play pseudo reader) and turns what it hears into the reader list and
// per-reader slot states. When the service is absent or goes away it backs off and connects again, the
// readers it knew reported missing meanwhile.
class SmartCardSlotManager {
public:
    using NamesObserver = std::function<void(const std::vector<std::string>&)>;

    struct Options {
        std::chrono::milliseconds minBackoff{100};
        std::chrono::milliseconds maxBackoff{2000};
    };

    // Reads the readers once before returning, so the first observer sees them; then watches on its thread.
    explicit SmartCardSlotManager(std::shared_ptr<PcscApi> api);
    SmartCardSlotManager(std::shared_ptr<PcscApi> api, Options options);
    ~SmartCardSlotManager();
    SmartCardSlotManager(const SmartCardSlotManager&) = delete;
    SmartCardSlotManager& operator=(const SmartCardSlotManager&) = delete;

    // The process-wide manager on pcsc-lite, created on first use.
    static std::shared_ptr<SmartCardSlotManager> defaultManager();

    std::vector<std::string> slotNames() const;
    // Registers an observer of the reader list and calls it at once with the current list; later calls come
    // from the watcher thread, one at a time.
    Observation observeSlotNames(NamesObserver observer);
    // The slot of a listed reader, or nullptr.
    std::shared_ptr<SmartCardSlot> getSlotWithName(const std::string& name) const;

    // Ends the watching and joins the thread; idempotent.
    void stop();

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};
