#include "softkey/SoftKeyFixtures.h"

#include "fido/Utils.h"

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

namespace {

// Splits a line into words; "..." keeps spaces; key="a b" stays one word without its quotes.
bool splitWords(std::string_view line, std::vector<std::string>& words)
{
    std::string word;
    bool inQuotes = false;
    bool any = false;
    for (char c : line) {
        if (c == '"') {
            inQuotes = !inQuotes;
            any = true;
        } else if (!inQuotes && (c == ' ' || c == '\t')) {
            if (any)
                words.push_back(word);
            word.clear();
            any = false;
        } else {
            word.push_back(c);
            any = true;
        }
    }
    if (any)
        words.push_back(word);
    return !inQuotes;
}

bool isHex(std::string_view s)
{
    if (s.size() % 2 != 0)
        return false;
    for (char c : s)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

} // namespace

bool SoftKeyFixtures::load(std::string_view text, SoftAuthenticator& key, std::string& error)
{
    std::map<std::string, std::string> rpNames;
    std::istringstream in{std::string(text)};
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        };
        if (auto hash = line.find('#'); hash != std::string::npos && line.find('"') > hash)
            line.resize(hash);
        std::vector<std::string> words;
        if (!splitWords(line, words))
            return fail("unterminated quote");
        if (words.empty())
            continue;
        if (words[0] == "pin") {
            if (words.size() != 2 || !key.setPin(words[1]))
                return fail("pin needs one PIN of an allowed length");
            continue;
        }
        std::map<std::string, std::string> fields;
        for (std::size_t i = 1; i < words.size(); ++i) {
            const auto eq = words[i].find('=');
            if (eq == std::string::npos || eq == 0)
                return fail("expected name=value, got " + words[i]);
            fields[words[i].substr(0, eq)] = words[i].substr(eq + 1);
        }
        if (words[0] == "rp") {
            if (!fields.count("id"))
                return fail("rp needs id=");
            rpNames[fields["id"]] = fields.count("name") ? fields["name"] : "";
            continue;
        }
        if (words[0] != "credential")
            return fail("unknown entry " + words[0]);
        SoftKeyCredential c;
        for (const auto& [name, value] : fields) {
            if (name == "rp") {
                c.rpId = value;
            } else if (name == "rpName") {
                c.rpName = value;
            } else if (name == "user" || name == "id" || name == "key") {
                if (!isHex(value))
                    return fail(name + " must be hexadecimal");
                (name == "user" ? c.userId : name == "id" ? c.credentialId : c.privateKey) = hexToBytes(value);
            } else if (name == "userName") {
                c.userName = value;
            } else if (name == "displayName") {
                c.userDisplayName = value;
            } else if (name == "protect") {
                if (value != "1" && value != "2" && value != "3")
                    return fail("protect must be 1, 2 or 3");
                c.credProtect = static_cast<std::uint64_t>(value[0] - '0');
            } else {
                return fail("unknown field " + name);
            }
        }
        if (c.rpId.empty() || c.userId.empty())
            return fail("credential needs rp= and user=");
        if (c.privateKey.size() != 0 && c.privateKey.size() != 32)
            return fail("key must be 32 bytes");
        if (c.rpName.empty() && rpNames.count(c.rpId))
            c.rpName = rpNames[c.rpId];
        if (!key.addCredential(std::move(c)))
            return fail("credential not stored (store full or bad key)");
    }
    return true;
}

bool SoftKeyFixtures::loadFile(const std::string& path, SoftAuthenticator& key, std::string& error)
{
    std::ifstream file(path);
    if (!file) {
        error = "cannot read " + path;
        return false;
    }
    std::stringstream text;
    text << file.rdbuf();
    return load(text.str(), key, error);
}
