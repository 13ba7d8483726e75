// Library-internal access to a Variant's held value, for code that hands a buffer to a host
// and takes it back afterwards to reuse its memory. Hosts do not get this header.
#pragma once

#include <tavsock/Variant.hpp>

namespace tav {

class VariantAccess {
public:
    /// The held byte array, which the caller may take over (move from); null when the value
    /// holds something else.
    static ByteArray* Bytes(Variant& v) noexcept { return std::get_if<ByteArray>(&v.mValue); }
    /// The held text, likewise.
    static std::string* String(Variant& v) noexcept { return std::get_if<std::string>(&v.mValue); }
};

}  // namespace tav
