// What a test heard: every notification of the object under test as one entry, in order, with
// a hook that runs inside the notification once it is recorded (to destroy things, to read,
// to throw). Fixtures subscribe to the events (or implement the callback interface) and Add.
#pragma once

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

namespace tav::support {

template <class Entry>
class Recorder {
public:
    std::vector<Entry> entries;
    /// Runs inside each notification, after it was recorded.
    std::function<void(const Entry&)> onEntry;

    void Add(Entry e) {
        entries.push_back(std::move(e));
        if (onEntry) onEntry(entries.back());
    }
    /// The entries that `keep` accepts, in order.
    template <class Keep>
    std::vector<Entry> Where(Keep&& keep) const {
        std::vector<Entry> out;
        std::copy_if(entries.begin(), entries.end(), std::back_inserter(out), keep);
        return out;
    }
    template <class Keep>
    int CountWhere(Keep&& keep) const {
        return static_cast<int>(std::count_if(entries.begin(), entries.end(), keep));
    }
};

}  // namespace tav::support
