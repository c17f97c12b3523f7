#pragma once

#include "viewmodel/Config.h"

#include <map>
#include <string>

// A settings store in memory that counts its writes, so tests can tell an unchanged setting from a rewrite.
class MemoryConfig final : public Config {
public:
    void set(std::string_view key, std::string_view value) override
    {
        values[std::string(key)] = std::string(value);
        ++writes;
    }
    std::string get(std::string_view key) const override
    {
        const auto found = values.find(std::string(key));
        return found == values.end() ? std::string() : found->second;
    }

    std::map<std::string, std::string> values;
    int writes = 0;
};
