#pragma once

#include "viewmodel/StringTables.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Texts with numbers in them. In a template "_" marks where a number goes: it is split at every "_", empty
// pieces are dropped, and pieces and numbers are joined with single spaces. A template that does not give the
// expected number of pieces yields "".

std::vector<std::string> templatePieces(std::string_view templateText);

// "to_characters" -> "4 to 63 characters": min, piece 1, max, piece 2.
std::string pinLengthHintText(std::string_view templateText, std::uint64_t min, std::uint64_t max);

// "PIN length must be_to_characters" -> "PIN length must be 4 to 63 characters".
std::string pinLengthMessageText(std::string_view templateText, std::uint64_t min, std::uint64_t max);

// "Resident credential counts: 5 , remains: 20", in the language lang.
std::string credentialCountText(std::uint64_t existing, std::uint64_t remaining, std::string_view lang,
                                const StringTables& tables = defaultStringTables());

// The status line of a device row in the language lang, e.g. "PIN is set, 8 retries left, support credential
// management". The retries appear only when a PIN is set and the key told how many are left.
std::string deviceStatusText(std::optional<std::uint64_t> retries, bool pinPresent, bool hasCredMgmt,
                             std::string_view lang, const StringTables& tables = defaultStringTables());
