#include "platform/SmartCardSlotManager.h"

#include "platform/PcscCardChannel.h"
#include "platform/ScardContext.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace {

constexpr char kPnpReader[] = "\\\\?PnP?\\Notification";

bool serviceGone(LONG rv)
{
    return rv == SCARD_E_NO_SERVICE || rv == SCARD_E_SERVICE_STOPPED || rv == SCARD_E_INVALID_HANDLE;
}

} // namespace

struct SmartCardSlotManager::Impl {
    enum class Step { again, backOff };

    Impl(std::shared_ptr<PcscApi> pcsc, Options opts)
        : api(std::move(pcsc)), options(opts), backoff(opts.minBackoff)
    {
    }

    Step cycle(DWORD timeoutMs);
    void applyReaders(const std::vector<std::string>& list);
    void serviceLost();
    void handleEvent(const std::string& name, DWORD before, DWORD after);
    void notifyNames();
    void run();
    std::shared_ptr<SmartCardSlot> slot(const std::string& name) const;

    const std::shared_ptr<PcscApi> api;
    const Options options;

    // Watcher thread only.
    ScardContext context;
    std::map<std::string, DWORD> lastState;
    DWORD pnpState = SCARD_STATE_UNAWARE;
    std::chrono::milliseconds backoff;

    mutable std::mutex mutex;
    std::condition_variable cv;
    bool stopping = false;
    bool exited = false;
    bool hasContext = false; // cancelContext may be cancelled from stop()
    SCARDCONTEXT cancelContext = 0;
    std::vector<std::string> names;
    std::map<std::string, std::shared_ptr<SmartCardSlot>> slots;
    std::uint64_t nextObserver = 0;
    std::map<std::uint64_t, std::shared_ptr<NamesObserver>> namesObservers;
    std::mutex notifyingNames; // one delivery round at a time, registration with its first call included
    std::thread thread;
};

SmartCardSlotManager::Impl::Step SmartCardSlotManager::Impl::cycle(DWORD timeoutMs)
{
    if (!context.valid()) {
        if (context.establish(api) != SCARD_S_SUCCESS) {
            serviceLost();
            return Step::backOff;
        }
        std::lock_guard lock(mutex);
        hasContext = true;
        cancelContext = context.get();
    }
    std::vector<std::string> list;
    LONG rv = api->listReaders(context.get(), list);
    if (rv != SCARD_S_SUCCESS) {
        if (serviceGone(rv))
            serviceLost();
        return Step::backOff;
    }
    applyReaders(list);

    std::vector<SCARD_READERSTATE> states(list.size() + 1);
    for (std::size_t i = 0; i < list.size(); ++i) {
        states[i].szReader = list[i].c_str();
        const auto known = lastState.find(list[i]);
        states[i].dwCurrentState = known == lastState.end() ? SCARD_STATE_UNAWARE : known->second;
    }
    states.back().szReader = kPnpReader;
    states.back().dwCurrentState = pnpState;
    {
        std::lock_guard lock(mutex);
        if (stopping)
            return Step::again;
    }
    rv = api->getStatusChange(context.get(), timeoutMs, states);
    if (rv == SCARD_S_SUCCESS) {
        for (std::size_t i = 0; i < list.size(); ++i) {
            const DWORD before = states[i].dwCurrentState;
            const DWORD after = states[i].dwEventState;
            lastState[list[i]] = after;
            handleEvent(list[i], before, after);
        }
        pnpState = states.back().dwEventState;
        return Step::again;
    }
    if (rv == SCARD_E_TIMEOUT || rv == SCARD_E_CANCELLED)
        return Step::again;
    if (serviceGone(rv))
        serviceLost();
    return Step::backOff; // also an unknown reader: the list changed under us, read it again shortly
}

void SmartCardSlotManager::Impl::applyReaders(const std::vector<std::string>& list)
{
    std::vector<std::shared_ptr<SmartCardSlot>> gone;
    bool changed = false;
    {
        std::lock_guard lock(mutex);
        changed = list != names;
        for (auto it = slots.begin(); it != slots.end();) {
            if (std::find(list.begin(), list.end(), it->first) == list.end()) {
                gone.push_back(it->second);
                it = slots.erase(it);
            } else {
                ++it;
            }
        }
        for (const std::string& name : list) {
            if (slots.count(name))
                continue;
            auto opener = [pcsc = api, name]() -> std::unique_ptr<CardChannel> {
                LONG error = SCARD_S_SUCCESS;
                return PcscCardChannel::open(pcsc, name, error);
            };
            slots.emplace(name, std::make_shared<SmartCardSlot>(name, std::move(opener)));
        }
        names = list;
    }
    // A vanished reader's card is reported gone before the list without it is told.
    for (const auto& slot : gone) {
        lastState.erase(slot->name());
        slot->setState(SmartCardSlotState::missing);
    }
    if (changed)
        notifyNames();
}

void SmartCardSlotManager::Impl::serviceLost()
{
    context.reset();
    {
        std::lock_guard lock(mutex);
        hasContext = false;
    }
    applyReaders({});
    lastState.clear();
    pnpState = SCARD_STATE_UNAWARE;
}

void SmartCardSlotManager::Impl::handleEvent(const std::string& name, DWORD before, DWORD after)
{
    const auto target = slot(name);
    if (!target)
        return;
    const SmartCardSlotState now = slotStateFromReaderState(after);
    const SmartCardSlotState was = target->state();
    // The upper 16 bits count card insertions and removals: a different count with a card present both times
    // means the card was taken off and another (or the same) put on between two looks.
    const bool cardBefore = was == SmartCardSlotState::validCard || was == SmartCardSlotState::muteCard;
    const bool swapped = before != SCARD_STATE_UNAWARE && cardBefore && (before & SCARD_STATE_PRESENT) &&
                         (after & SCARD_STATE_PRESENT) && (before >> 16) != (after >> 16);
    if (swapped)
        target->swapCard(now);
    else
        target->setState(now);
}

void SmartCardSlotManager::Impl::notifyNames()
{
    std::lock_guard round(notifyingNames);
    std::vector<std::string> current;
    std::vector<std::shared_ptr<NamesObserver>> observers;
    {
        std::lock_guard lock(mutex);
        current = names;
        for (const auto& [id, observer] : namesObservers)
            observers.push_back(observer);
    }
    for (const auto& observer : observers)
        (*observer)(current);
}

void SmartCardSlotManager::Impl::run()
{
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (stopping)
                break;
        }
        if (cycle(INFINITE) == Step::again) {
            backoff = options.minBackoff;
            continue;
        }
        std::unique_lock lock(mutex);
        cv.wait_for(lock, backoff, [this] { return stopping; });
        backoff = std::min(backoff * 2, options.maxBackoff);
    }
    context.reset();
    std::lock_guard lock(mutex);
    hasContext = false;
    exited = true;
    cv.notify_all();
}

std::shared_ptr<SmartCardSlot> SmartCardSlotManager::Impl::slot(const std::string& name) const
{
    std::lock_guard lock(mutex);
    const auto it = slots.find(name);
    return it == slots.end() ? nullptr : it->second;
}

SmartCardSlotManager::SmartCardSlotManager(std::shared_ptr<PcscApi> api) : SmartCardSlotManager(std::move(api), {})
{
}

SmartCardSlotManager::SmartCardSlotManager(std::shared_ptr<PcscApi> api, Options options)
    : impl_(std::make_shared<Impl>(std::move(api), options))
{
    impl_->cycle(0);
    impl_->thread = std::thread([impl = impl_] { impl->run(); });
}

SmartCardSlotManager::~SmartCardSlotManager() { stop(); }

std::shared_ptr<SmartCardSlotManager> SmartCardSlotManager::defaultManager()
{
    static const std::shared_ptr<SmartCardSlotManager> manager =
        std::make_shared<SmartCardSlotManager>(PcscApi::system());
    return manager;
}

std::vector<std::string> SmartCardSlotManager::slotNames() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->names;
}

Observation SmartCardSlotManager::observeSlotNames(NamesObserver observer)
{
    auto shared = std::make_shared<NamesObserver>(std::move(observer));
    std::lock_guard round(impl_->notifyingNames);
    std::uint64_t id = 0;
    std::vector<std::string> current;
    {
        std::lock_guard lock(impl_->mutex);
        id = ++impl_->nextObserver;
        impl_->namesObservers[id] = shared;
        current = impl_->names;
    }
    (*shared)(current);
    return Observation([weak = std::weak_ptr<Impl>(impl_), id] {
        if (auto impl = weak.lock()) {
            std::lock_guard lock(impl->mutex);
            impl->namesObservers.erase(id);
        }
    });
}

std::shared_ptr<SmartCardSlot> SmartCardSlotManager::getSlotWithName(const std::string& name) const
{
    return impl_->slot(name);
}

void SmartCardSlotManager::stop()
{
    Impl& impl = *impl_;
    {
        std::lock_guard lock(impl.mutex);
        if (!impl.thread.joinable())
            return;
        impl.stopping = true;
    }
    impl.cv.notify_all();
    if (impl.thread.get_id() == std::this_thread::get_id()) {
        // Dropped from inside one of its own callbacks: the thread holds the state and ends by itself.
        impl.thread.detach();
        return;
    }
    // A cancel that lands just before the thread blocks is lost, so repeat it until the thread is out.
    std::unique_lock lock(impl.mutex);
    while (!impl.exited) {
        const bool cancel = impl.hasContext;
        const SCARDCONTEXT context = impl.cancelContext;
        lock.unlock();
        if (cancel)
            impl.api->cancel(context);
        lock.lock();
        impl.cv.wait_for(lock, std::chrono::milliseconds(20), [&impl] { return impl.exited; });
    }
    lock.unlock();
    impl.thread.join();
}
