#include "platform/ScardContext.h"

ScardContext& ScardContext::operator=(ScardContext&& other) noexcept
{
    if (this != &other) {
        reset();
        api_ = std::move(other.api_);
        context_ = other.context_;
        valid_ = other.valid_;
        other.valid_ = false;
        other.context_ = 0;
    }
    return *this;
}

LONG ScardContext::establish(std::shared_ptr<PcscApi> api)
{
    reset();
    api_ = std::move(api);
    SCARDCONTEXT context = 0;
    const LONG rv = api_->establishContext(context);
    if (rv == SCARD_S_SUCCESS) {
        context_ = context;
        valid_ = true;
    }
    return rv;
}

void ScardContext::reset()
{
    if (valid_)
        api_->releaseContext(context_);
    valid_ = false;
    context_ = 0;
}
