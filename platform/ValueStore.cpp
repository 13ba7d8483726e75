#include <tavsock/ValueStore.hpp>

namespace tav {

std::shared_ptr<ValueStore> ValueStore::Create() {
    struct Made : ValueStore {};
    return std::make_shared<Made>();
}

Variant ValueStore::Value(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? Variant(std::string()) : it->second;
}

void ValueStore::Value(const std::string& key, Variant value) { values_[key] = std::move(value); }

bool ValueStore::Exists(const std::string& key) const { return values_.count(key) != 0; }

void ValueStore::Remove(const std::string& key) { values_.erase(key); }

int32_t ValueStore::Count() const { return static_cast<int32_t>(values_.size()); }

Variant& ValueStore::Slot(const std::string& key) {
    auto it = values_.find(key);
    if (it == values_.end()) it = values_.emplace(key, Variant(std::string())).first;
    return it->second;
}

Variant* ValueStore::Find(const std::string& key) {
    auto it = values_.find(key);
    return it == values_.end() ? nullptr : &it->second;
}

const Variant* ValueStore::Find(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? nullptr : &it->second;
}

}  // namespace tav
