#pragma once

#include "platform/SecureBytes.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// What a software key announces in getInfo and how it behaves. Every getInfo field can be left out
// (nullopt); the behaviour follows what is announced, as on a real key.
struct SoftKeyConfig {
    // State of an announced option whose value can also follow the key's state.
    enum class Option { Auto, Absent, False, True };

    std::optional<std::vector<std::string>> versions = std::vector<std::string>{"FIDO_2_0", "FIDO_2_1_PRE", "FIDO_2_1"};
    std::optional<Bytes> aaguid = Bytes{0x4D, 0x54, 0x2D, 0x53, 0x4F, 0x46, 0x54, 0x4B,
                                        0x45, 0x59, 0x2D, 0x30, 0x30, 0x30, 0x30, 0x31};
    // clientPin: Auto announces true when a PIN is set and false otherwise; Absent means no clientPIN at all.
    Option clientPin = Option::Auto;
    std::optional<bool> rk = true;
    std::optional<bool> up = true;
    std::optional<bool> pinUvAuthToken = true;
    // credMgmt answers command 0x0A and announces "credMgmt"; credMgmtPreview answers 0x41 and announces
    // "credentialMgmtPreview".
    bool credMgmt = true;
    bool credMgmtPreview = false;
    bool omitOptions = false;                      // leave the whole options map out
    std::map<std::string, bool> extraOptions;      // announced as given, no behaviour behind them
    std::optional<std::uint64_t> maxMsgSize = 1200;
    // The protocols announced; when left out the key still accepts protocol One, as CTAP 2.0 keys do.
    std::optional<std::vector<std::uint64_t>> pinUvAuthProtocols = std::vector<std::uint64_t>{2, 1};
    std::optional<std::uint64_t> minPINLength = 4; // announced; the enforced minimum is this or 4
    std::optional<std::uint64_t> firmwareVersion = 0x050403;
    bool announceRemainingDiscoverableCredentials = true;
    std::size_t maxDiscoverableCredentials = 25;
    std::optional<std::uint64_t> uvRetries;        // added to getRetries answers when set
    // getInfo values given as encoded CBOR, in place of (or beside) what the key announces under those keys: a
    // value of another kind than the field takes, as some keys send.
    std::map<std::uint64_t, Bytes> rawInfoFields;
    // The length of the PIN tokens handed out, a multiple of 16. A request's MAC is keyed with the whole token
    // under protocol 1 and with at most its first 32 bytes under protocol 2.
    std::size_t pinTokenLength = 32;

    std::uint64_t maxPinRetries = 8;
    // Reset is allowed this long after each power-up (plug-in, or the card entering the field).
    std::chrono::milliseconds resetWindow{10000};
    // Deterministic key-agreement keys, tokens, credential ids and keys and IVs for tests that compare bytes.
    std::optional<std::uint64_t> seed;
};
