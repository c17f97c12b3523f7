#pragma once

#include "platform/PcscApi.h"

#include <memory>

// Owns one PC/SC context and releases it when it goes.
class ScardContext {
public:
    ScardContext() = default;
    ~ScardContext() { reset(); }
    ScardContext(const ScardContext&) = delete;
    ScardContext& operator=(const ScardContext&) = delete;
    ScardContext(ScardContext&& other) noexcept { *this = std::move(other); }
    ScardContext& operator=(ScardContext&& other) noexcept;

    // Establishes a new context (dropping any held one); returns the PC/SC result.
    LONG establish(std::shared_ptr<PcscApi> api);
    void reset();

    bool valid() const { return valid_; }
    SCARDCONTEXT get() const { return context_; }
    PcscApi* api() const { return api_.get(); }

private:
    std::shared_ptr<PcscApi> api_;
    SCARDCONTEXT context_ = 0;
    bool valid_ = false;
};
