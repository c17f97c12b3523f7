#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// A process-wide board for named notifications. Observers run synchronously on the posting thread, after the
// centre's lock has been let go, so an observer may add or remove observers.
class NotificationCenter {
public:
    using UserInfo = std::map<std::string, std::string>;
    using Observer = std::function<void(const std::string& name, const UserInfo& userInfo)>;
    using Token = unsigned long;

    static NotificationCenter& defaultCenter();

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    Token addObserver(std::string name, Observer observer);
    void removeObserver(Token token);
    void post(const std::string& name, const UserInfo& userInfo = {});

private:
    struct Entry {
        Token token;
        std::string name;
        Observer observer;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
    Token next_ = 1;
};
