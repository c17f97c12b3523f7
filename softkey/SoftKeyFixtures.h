#pragma once

#include "softkey/SoftAuthenticator.h"

#include <string>
#include <string_view>

// Preloads a software key from a small text format, one entry per line ('#' starts a comment; values with
// spaces go in double quotes; byte values are hexadecimal):
//
//   pin 1234
//   rp id=example.com name="Example Corp"
//   credential rp=example.com user=A1B2 userName=alice displayName="Alice A" [id=HEX] [key=HEX32] [protect=1]
//
// An rp line names a relying party for the credential lines that follow; a credential line may carry its own
// rpName=. Without id= and key= a random credential id and key are made.
class SoftKeyFixtures {
public:
    static bool load(std::string_view text, SoftAuthenticator& key, std::string& error);
    static bool loadFile(const std::string& path, SoftAuthenticator& key, std::string& error);
};
