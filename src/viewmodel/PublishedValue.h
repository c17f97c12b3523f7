#pragma once

#include "viewmodel/RpItem.h"

#include <algorithm>
#include <vector>

// Published values are compared field by field; rows of the credential list compare by credential ID for
// identity, but a tick is a change the page must see.
template <typename T> bool samePublishedValue(const T& a, const T& b)
{
    return a == b;
}
inline bool samePublishedValue(const std::vector<RpItem>& a, const std::vector<RpItem>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const RpItem& x, const RpItem& y) {
        return x.credentialId == y.credentialId && x.isChecked == y.isChecked && x.name == y.name && x.id == y.id &&
               x.userName == y.userName && x.idHash == y.idHash && x.credType == y.credType && x.userId == y.userId;
    });
}

// Declares a published property of a QObject: a getter, a setter that announces a change through
// <name>Changed (only when the value changes), and the storage. Setters run on the main thread only (the
// class provides assertMainThread). Leaves the class in its private section.
#define MT_PUBLISHED(Type, name, setter, initial)                                                                      \
public:                                                                                                                \
    const Type& name() const                                                                                           \
    {                                                                                                                  \
        return name##_;                                                                                                \
    }                                                                                                                  \
    void setter(const Type& value)                                                                                     \
    {                                                                                                                  \
        assertMainThread();                                                                                            \
        if (samePublishedValue(name##_, value))                                                                        \
            return;                                                                                                    \
        name##_ = value;                                                                                               \
        emit name##Changed();                                                                                          \
    }                                                                                                                  \
                                                                                                                       \
private:                                                                                                               \
    Type name##_ = initial;
