#include "platform/NotificationCenter.h"

#include <algorithm>

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Observer observer)
{
    std::lock_guard lock(mutex_);
    const Token token = next_++;
    entries_.push_back({token, std::move(name), std::move(observer)});
    return token;
}

void NotificationCenter::removeObserver(Token token)
{
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [token](const Entry& e) { return e.token == token; });
}

void NotificationCenter::post(const std::string& name, const UserInfo& userInfo)
{
    std::vector<Observer> observers;
    {
        std::lock_guard lock(mutex_);
        for (const Entry& e : entries_)
            if (e.name == name)
                observers.push_back(e.observer);
    }
    for (const Observer& observer : observers)
        observer(name, userInfo);
}
