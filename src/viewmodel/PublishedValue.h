#pragma once

// Published values are compared with ==: a setter given the value a property already has announces nothing.
template <typename T> bool samePublishedValue(const T& a, const T& b)
{
    return a == b;
}

// Declares a published property of a QObject: a public getter, a private setter that announces a change
// through <name>Changed (only when the value changes), and the storage. Views and tests read published values
// and drive the object's public intents; only the object itself sets them, on the main thread (the class
// provides assertMainThread). Leaves the class in its private section.
#define MT_PUBLISHED(Type, name, setter, initial)                                                                      \
public:                                                                                                                \
    const Type& name() const                                                                                           \
    {                                                                                                                  \
        return name##_;                                                                                                \
    }                                                                                                                  \
                                                                                                                       \
private:                                                                                                               \
    void setter(const Type& value)                                                                                     \
    {                                                                                                                  \
        assertMainThread();                                                                                            \
        if (samePublishedValue(name##_, value))                                                                        \
            return;                                                                                                    \
        name##_ = value;                                                                                               \
        emit name##Changed();                                                                                          \
    }                                                                                                                  \
    Type name##_ = initial;
