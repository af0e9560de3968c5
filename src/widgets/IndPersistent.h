#pragma once
// Base of the widgets' small property objects (palettes, brushes, pens): an
// owner hears of a change once, even when several values change inside one
// BeginUpdate/EndUpdate bracket.

#include <functional>

namespace dravane::widgets {

// Stores value in field; true when that changed it (the setters' common start).
template <class T> bool ChangeField(T& field, const T& value) {
    if (field == value)
        return false;
    field = value;
    return true;
}

class TIndPersistent {
public:
    TIndPersistent() = default;
    TIndPersistent(const TIndPersistent&) = delete;
    TIndPersistent& operator=(const TIndPersistent&) = delete;
    virtual ~TIndPersistent() = default;

    void BeginUpdate() { ++FUpdateCount; }
    // An unbalanced extra call must not leave the owner deaf for good.
    void EndUpdate() {
        if (FUpdateCount > 0)
            --FUpdateCount;
        Changed();
    }

    std::function<void()> OnChange;

protected:
    void Changed() {
        if (FUpdateCount == 0 && OnChange)
            OnChange();
    }

private:
    int FUpdateCount = 0;
};

} // namespace dravane::widgets
