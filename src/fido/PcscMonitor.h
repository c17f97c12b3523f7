#pragma once

#include "fido/CardHandler.h"
#include "platform/LabelledMutex.h"
#include "platform/Observation.h"
#include "platform/SmartCardSlotManager.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Follows the list of readers and keeps one CardHandler per reader; hands out the card of a reader by name.
// Watching starts with startWatching, so the owner can keep the monitor before the first card is reported
// (a card already on a reader is reported from inside that call). A reader's handler is filed before it starts
// watching, so getActiveCard hands out every card from its first report on. The monitor's guard may be taken
// before a handler's lock, never the other way round, and no card is reported with the monitor's guard held.
class PcscMonitor : public std::enable_shared_from_this<PcscMonitor> {
public:
    using CardAction = CardHandler::CardAction;
    // Called on the thread that handles a reader list, as it has begun to watch a new reader, before it goes on.
    using ReaderWatchedHook = std::function<void(const std::string& readerName)>;
    using Readers = std::map<std::string, std::shared_ptr<CardHandler>>;

    // A monitor of the process-wide readers.
    static std::shared_ptr<PcscMonitor> create(CardAction cardAction);
    // A monitor of the readers of manager; without a manager nothing is watched and no card is ever reported.
    static std::shared_ptr<PcscMonitor> create(CardAction cardAction, std::shared_ptr<SmartCardSlotManager> manager);
    // Starts watching (once); the readers and cards already there are handled before it returns.
    void startWatching();
    // For tests, to hold the monitor at that moment; set before startWatching.
    void setReaderWatchedHook(ReaderWatchedHook hook) { readerWatchedHook_ = std::move(hook); }
    // Ends the watching for good, for a receiver of the card callback that goes before the monitor does (a
    // watcher thread may hold the monitor a moment longer): once it returns no card is reported any more, a
    // report under way included, and every card's session is ended without a report. Not from inside the card
    // callback, whose end it waits for.
    void stop();
    // Stops every handler, so every card reported present is reported gone (unless stop came first).
    ~PcscMonitor();
    PcscMonitor(const PcscMonitor&) = delete;
    PcscMonitor& operator=(const PcscMonitor&) = delete;

    const std::shared_ptr<SmartCardSlotManager>& mngr() const { return mngr_; }
    // Whether the reader list is being watched (from startWatching until stop); for the owner's thread.
    bool managerObservation() const { return static_cast<bool>(managerObservation_); }
    // The watched readers, each with its handler.
    Readers readers();
    const CardAction& cardAction() const { return cardAction_; }

    // The card with its session of the named reader, or nullptr when the reader is not watched or has no card.
    std::shared_ptr<SmartCard> getActiveCard(const std::string& readerName);

    // The reaction to a new reader list (called by the manager's observation).
    void slotNamesChanged(const std::vector<std::string>& slotNames);

private:
    struct ReportGate;

    PcscMonitor(CardAction cardAction, std::shared_ptr<SmartCardSlotManager> manager);
    void stopHandlers();

    const std::shared_ptr<SmartCardSlotManager> mngr_;
    Observation managerObservation_;
    const CardAction cardAction_;
    // The handlers report through it, so stop can shut them all off at once.
    const std::shared_ptr<ReportGate> gate_;
    LabelledMutex queue_{"thread-safe-pcscMonitor"};
    Readers readers_; // under queue_
    ReaderWatchedHook readerWatchedHook_;
};
