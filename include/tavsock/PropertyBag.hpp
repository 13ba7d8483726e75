// A store of named values that persistable objects save themselves to and restore themselves
// from.
#pragma once

#include <tavsock/Variant.hpp>

#include <map>
#include <string>

namespace tav {

/// Where a persistable object writes its named values and reads them back. Names are compared
/// exactly. A store keeps one value per name: writing a name again replaces its value.
///
/// Layout of several items: an object that saves a list writes "Count" and then one entry per
/// item under a numbered name ("Item1", "Item2", ... in position order), never the same name
/// twice. Any store that keeps one value per name (a file of name=value lines, a registry key,
/// a database row) then holds the whole list, and restoring does not depend on a read cursor
/// that a store with repeated names would need: the same store can be read any number of
/// times and gives the same list.
class PropertyBag {
public:
    virtual ~PropertyBag() = default;

    /// Stores `value` under `name`, replacing an earlier value.
    virtual void WriteProperty(const std::string& name, const Variant& value) = 0;
    /// The value stored under `name`, or `defaultValue` when there is none.
    virtual Variant ReadProperty(const std::string& name, const Variant& defaultValue = Variant()) const = 0;
};

/// A PropertyBag in memory; values (objects too) are kept as they are given.
class MemoryPropertyBag : public PropertyBag {
public:
    void WriteProperty(const std::string& name, const Variant& value) override { mValues[name] = value; }
    Variant ReadProperty(const std::string& name, const Variant& defaultValue = Variant()) const override {
        auto it = mValues.find(name);
        return it == mValues.end() ? defaultValue : it->second;
    }
    /// True when a value is stored under `name`.
    bool Exists(const std::string& name) const { return mValues.count(name) != 0; }
    /// Number of names stored.
    size_t Size() const noexcept { return mValues.size(); }

private:
    std::map<std::string, Variant> mValues;
};

}  // namespace tav
