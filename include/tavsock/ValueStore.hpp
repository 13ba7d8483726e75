// The value store of the kernel services: a string-keyed map of Variants.
#pragma once

#include <tavsock/Object.hpp>
#include <tavsock/Variant.hpp>

#include <memory>
#include <string>
#include <unordered_map>

namespace tav {

/// A string-keyed store of values; the type of every `ExtraData` property and of the TCP
/// manager's hold buffer. Keys are compared exactly. Creatable ("TAVSock.ValueStore").
class ValueStore : public Object {
public:
    static std::shared_ptr<ValueStore> Create();
    std::string TypeName() const override { return "ValueStore"; }

    /// The value under `key`; an absent key reads as empty text.
    Variant Value(const std::string& key) const;
    /// Creates or replaces the entry under `key`.
    void Value(const std::string& key, Variant value);
    /// True when an entry exists under `key`.
    bool Exists(const std::string& key) const;
    /// Removes the entry under `key`; nothing happens when there is none.
    void Remove(const std::string& key);
    /// Number of entries.
    int32_t Count() const;

    /// In-place access to the entry under `key`, created as empty text when absent; lets the
    /// library grow a held text without copying it. The reference lives until the entry is
    /// removed or replaced.
    Variant& Slot(const std::string& key);
    /// In-place access to an existing entry; null when there is none. Valid as Slot's.
    Variant* Find(const std::string& key);
    const Variant* Find(const std::string& key) const;

protected:
    ValueStore() = default;

private:
    std::unordered_map<std::string, Variant> mValues;
};

}  // namespace tav
