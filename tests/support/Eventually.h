#pragma once

#include <chrono>
#include <thread>

// Waits until pred holds or limit passes; for events that arrive on other threads. eachTurn runs between two
// looks at pred (a Qt test passes one that turns the event loop); without it the thread sleeps a moment.
template <typename Pred, typename Turn>
bool eventually(Pred pred, std::chrono::milliseconds limit, Turn eachTurn)
{
    for (const auto deadline = std::chrono::steady_clock::now() + limit; !pred(); eachTurn())
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
    return true;
}

template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(3))
{
    return eventually(pred, limit, [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
}
