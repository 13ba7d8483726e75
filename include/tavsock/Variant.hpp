// The object model's dynamic value.
#pragma once

#include <tavsock/Object.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace tav {

using ByteArray = std::vector<uint8_t>;

/// A dynamic value: Empty, Integer (int16_t), Long (int32_t), Double, Boolean, String,
/// ByteArray or Object (a shared reference).
///
/// Text is one char per byte (ISO-8859-1), so text and bytes convert unchanged. Checked
/// accessors (`AsLong`, `AsString`, ...) convert where the object model converts and raise
/// SockError 13 ("Type mismatch") where it does not.
class Variant {
public:
    enum class Type { Empty, Integer, Long, Double, Boolean, String, ByteArray, Object };

    Variant() = default;
    Variant(int16_t v) : mValue(v) {}
    Variant(int32_t v) : mValue(v) {}
    Variant(double v) : mValue(v) {}
    Variant(bool v) : mValue(v) {}
    Variant(std::string v) : mValue(std::move(v)) {}
    Variant(const char* v) : mValue(std::string(v)) {}
    Variant(ByteArray v) : mValue(std::move(v)) {}
    Variant(ObjectPtr v) : mValue(std::move(v)) {}
    template <class T, class = std::enable_if_t<std::is_base_of_v<Object, T>>>
    Variant(std::shared_ptr<T> v) : mValue(ObjectPtr(std::move(v))) {}

    Type type() const noexcept { return static_cast<Type>(mValue.index()); }
    /// Name of the held type as the object model spells it ("Empty", "Long", "String", ...).
    const char* TypeName() const noexcept;

    bool IsEmpty() const noexcept { return type() == Type::Empty; }
    bool IsString() const noexcept { return type() == Type::String; }
    bool IsByteArray() const noexcept { return type() == Type::ByteArray; }
    bool IsObject() const noexcept { return type() == Type::Object; }
    bool IsNumber() const noexcept;  ///< Integer, Long, Double or Boolean held.
    /// True when the value reads as a number: a numeric type, or text that parses as a
    /// decimal number (surrounding blanks allowed).
    bool IsNumeric() const;

    int16_t AsInteger() const;  ///< Numeric value or numeric text, range-checked (error 6 on overflow).
    int32_t AsLong() const;     ///< Numeric value or numeric text, range-checked (error 6 on overflow).
    double AsDouble() const;
    bool AsBoolean() const;
    /// Text form: the text itself, a number in decimal, "True"/"False", the bytes of a byte
    /// array as characters; Empty gives "". An object raises error 13.
    std::string ToString() const;
    /// The held text; error 13 when no text is held.
    const std::string& AsString() const;
    /// The held bytes; error 13 when no byte array is held.
    const ByteArray& AsBytes() const;
    /// The held object; error 13 when no object is held (an empty reference is held as null).
    const ObjectPtr& AsObject() const;
    /// The held object cast to T, or null when it is not a T or nothing is held.
    template <class T>
    std::shared_ptr<T> ObjectAs() const {
        if (!IsObject()) return nullptr;
        return std::dynamic_pointer_cast<T>(std::get<ObjectPtr>(mValue));
    }

    /// Value equality; objects compare by identity, numbers by value across numeric types.
    friend bool operator==(const Variant& a, const Variant& b);

private:
    friend class VariantAccess;  // the library's way to take a held value over without a copy
    std::variant<std::monostate, int16_t, int32_t, double, bool, std::string, ByteArray, ObjectPtr> mValue;
};

}  // namespace tav
