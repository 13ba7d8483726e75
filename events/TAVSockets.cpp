#include <tavsock/TAVSockets.hpp>
#include <tavsock/TAVSocket.hpp>

#include "platform/DebugLog.hpp"
#include "base/SockErrors.hpp"
#include "platform/Diagnostics.hpp"
#include "platform/KeyedList.hpp"

namespace tav {

namespace {

constexpr const char* kEmptyCondition = "Collection can't be empty";
constexpr const char* kTypeNameEntry = "TypeName";
constexpr const char* kCountEntry = "Count";

std::string ItemEntry(int32_t position) {
    return "Item" + std::to_string(position);
}

[[noreturn]] void RaiseDuplicateKey() {
    throw SockError(TAVSockets::kErrDuplicateKey, "", "This key is already associated with an element of this collection");
}

}  // namespace

struct TAVSockets::Items {
    KeyedList<std::shared_ptr<TAVSocket>, NoCaseKeyHash, NoCaseKeyEq> list;
};

std::shared_ptr<TAVSockets> TAVSockets::Create() {
    return std::shared_ptr<TAVSockets>(new TAVSockets());
}

TAVSockets::TAVSockets() : mItems(std::make_unique<Items>()) {}
TAVSockets::~TAVSockets() = default;

int32_t TAVSockets::Count() const noexcept {
    return mItems->list.Count();
}

const std::shared_ptr<TAVSocket>& TAVSockets::At(int32_t position) const {
    return mItems->list.ItemAt(position);
}

int32_t TAVSockets::CheckedPosition(const Variant& Index, const char* emptyCheckProc,
                                    const char* indexCheckProc) const {
    Diagnostics& diagnostics = Diagnostics::Current();
    // Both checks run, as every check does; either failure ends the operation afterwards.
    const bool notEmpty =
        diagnostics.Check(!IsEmpty(), [&] { return SourceName(this, emptyCheckProc); }, kEmptyCondition);
    const bool designates =
        diagnostics.CheckIndexOrKey(mItems->list, Index, [&] { return SourceName(this, indexCheckProc); });
    if (!notEmpty || !designates) RaiseSockError(kErrInvalidParameter);
    return Index.IsString() ? mItems->list.PositionOfKey(Index.AsString()) : Index.AsLong();
}

std::shared_ptr<TAVSocket> TAVSockets::Item(const Variant& Index) const {
    return At(CheckedPosition(Index, "Item", "Get Item"));
}

void TAVSockets::Add(const std::shared_ptr<TAVSocket>& NewItem, const std::string& Key) {
    // Every item is a socket: the socket manager reads the handle of each one it holds.
    if (!NewItem) RaiseSockError(kErrInvalidParameter);
    if (!mItems->list.Add(NewItem, Key)) RaiseDuplicateKey();
}

void TAVSockets::Clear() noexcept {
    mItems->list.Clear();
}

bool TAVSockets::Contains(const std::shared_ptr<TAVSocket>& Obj) const noexcept {
    for (const auto& entry : mItems->list)
        if (entry.item == Obj) return true;
    return false;
}

bool TAVSockets::IsEmpty() const noexcept {
    return Count() == 0;
}

bool TAVSockets::IsValidIndex(int32_t Index) const {
    return Diagnostics::IndexTest(mItems->list, Index);
}

bool TAVSockets::IsValidKey(const std::string& Key) const {
    return Diagnostics::KeyTest(mItems->list, Key);
}

std::vector<std::shared_ptr<TAVSocket>> TAVSockets::NewEnum() const {
    std::vector<std::shared_ptr<TAVSocket>> snapshot;
    snapshot.reserve(static_cast<size_t>(Count()));
    for (const auto& entry : mItems->list) snapshot.push_back(entry.item);
    return snapshot;
}

void TAVSockets::RemoveAt(int32_t position) {
    mItems->list.RemoveAt(position);
}

void TAVSockets::Remove(const Variant& Index) {
    mItems->list.RemoveAt(CheckedPosition(Index, "Remove", "Remove"));
}

void TAVSockets::WriteProperties(PropertyBag& bag) const {
    bag.WriteProperty(kTypeNameEntry, Variant(TypeName()));
    bag.WriteProperty(kCountEntry, Variant(Count()));
    int32_t position = 0;
    for (const auto& entry : mItems->list) bag.WriteProperty(ItemEntry(++position), Variant(entry.item));
}

void TAVSockets::ReadProperties(const PropertyBag& bag) {
    const Variant typeName = bag.ReadProperty(kTypeNameEntry);
    if (!typeName.IsString() || typeName.AsString() != TypeName()) return;
    const int32_t count = bag.ReadProperty(kCountEntry, Variant(int32_t{0})).AsLong();
    for (int32_t position = 1; position <= count; ++position) {
        const Variant value = bag.ReadProperty(ItemEntry(position));
        if (auto socket = value.ObjectAs<TAVSocket>()) {
            mItems->list.Add(std::move(socket));
            continue;
        }
        Diagnostics::Current().ReportFailure(
            "Saved item is not a socket: " + ItemEntry(position) + " = " + Diagnostics::TextOfValue(value),
            SourceName(this, "ReadProperties"));
        // A missing entry means the store is shorter than its Count says; nothing follows.
        if (value.IsEmpty()) return;
    }
}

}  // namespace tav
