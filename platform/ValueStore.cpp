#include <tavsock/ValueStore.hpp>

namespace tav {

std::shared_ptr<ValueStore> ValueStore::Create() {
    struct Made : ValueStore {};
    return std::make_shared<Made>();
}

Variant ValueStore::Value(const std::string& key) const {
    auto it = mValues.find(key);
    return it == mValues.end() ? Variant(std::string()) : it->second;
}

void ValueStore::Value(const std::string& key, Variant value) { mValues[key] = std::move(value); }

bool ValueStore::Exists(const std::string& key) const { return mValues.count(key) != 0; }

void ValueStore::Remove(const std::string& key) { mValues.erase(key); }

int32_t ValueStore::Count() const { return static_cast<int32_t>(mValues.size()); }

Variant& ValueStore::Slot(const std::string& key) {
    auto it = mValues.find(key);
    if (it == mValues.end()) it = mValues.emplace(key, Variant(std::string())).first;
    return it->second;
}

Variant* ValueStore::Find(const std::string& key) {
    auto it = mValues.find(key);
    return it == mValues.end() ? nullptr : &it->second;
}

const Variant* ValueStore::Find(const std::string& key) const {
    auto it = mValues.find(key);
    return it == mValues.end() ? nullptr : &it->second;
}

}  // namespace tav
