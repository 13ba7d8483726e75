#include <tavsock/SockError.hpp>
#include <tavsock/Variant.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace tav {

SockError::SockError(int32_t number, std::string source, std::string description)
    : std::runtime_error(description.empty() ? "socket error " + std::to_string(number) : description),
      mNumber(number),
      mSource(std::move(source)),
      mDescription(std::move(description)) {}

namespace {

[[noreturn]] void TypeMismatch() { throw SockError(kTypeMismatch, "", "Type mismatch"); }
[[noreturn]] void Overflow() { throw SockError(6, "", "Overflow"); }

// Parses decimal text with optional blanks around it; false when it is not a number.
bool ParseNumber(const std::string& s, double& out) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return false;
    size_t e = s.find_last_not_of(" \t");
    std::string t = s.substr(b, e - b + 1);
    const char* p = t.c_str();
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(p, &end);
    if (end == p || *end != '\0' || errno == ERANGE) return false;
    // strtod also takes hexadecimal, inf and nan; the object model does not.
    for (char c : t)
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E')) return false;
    out = v;
    return true;
}

// Rounds half to even, as the object model converts fractions to integers.
double RoundEven(double v) { return std::nearbyint(v); }

}  // namespace

const char* Variant::TypeName() const noexcept {
    static const char* const names[] = {"Empty", "Integer", "Long", "Double", "Boolean", "String", "Byte()", "Object"};
    return names[mValue.index()];
}

bool Variant::IsNumber() const noexcept {
    auto t = type();
    return t == Type::Integer || t == Type::Long || t == Type::Double || t == Type::Boolean;
}

bool Variant::IsNumeric() const {
    if (IsNumber()) return true;
    double d;
    return IsString() && ParseNumber(std::get<std::string>(mValue), d);
}

double Variant::AsDouble() const {
    switch (type()) {
    case Type::Empty: return 0;
    case Type::Integer: return std::get<int16_t>(mValue);
    case Type::Long: return std::get<int32_t>(mValue);
    case Type::Double: return std::get<double>(mValue);
    case Type::Boolean: return std::get<bool>(mValue) ? -1 : 0;
    case Type::String: {
        double d;
        if (!ParseNumber(std::get<std::string>(mValue), d)) TypeMismatch();
        return d;
    }
    default: TypeMismatch();
    }
}

int32_t Variant::AsLong() const {
    if (type() == Type::Long) return std::get<int32_t>(mValue);
    double d = RoundEven(AsDouble());
    if (d < std::numeric_limits<int32_t>::min() || d > std::numeric_limits<int32_t>::max()) Overflow();
    return static_cast<int32_t>(d);
}

int16_t Variant::AsInteger() const {
    if (type() == Type::Integer) return std::get<int16_t>(mValue);
    double d = RoundEven(AsDouble());
    if (d < std::numeric_limits<int16_t>::min() || d > std::numeric_limits<int16_t>::max()) Overflow();
    return static_cast<int16_t>(d);
}

bool Variant::AsBoolean() const {
    if (type() == Type::Boolean) return std::get<bool>(mValue);
    if (IsString()) {
        const auto& s = std::get<std::string>(mValue);
        if (s == "True" || s == "true" || s == "TRUE") return true;
        if (s == "False" || s == "false" || s == "FALSE") return false;
    }
    return AsDouble() != 0;
}

std::string Variant::ToString() const {
    switch (type()) {
    case Type::Empty: return {};
    case Type::Integer: return std::to_string(std::get<int16_t>(mValue));
    case Type::Long: return std::to_string(std::get<int32_t>(mValue));
    case Type::Double: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", std::get<double>(mValue));
        return buf;
    }
    case Type::Boolean: return std::get<bool>(mValue) ? "True" : "False";
    case Type::String: return std::get<std::string>(mValue);
    case Type::ByteArray: {
        const auto& b = std::get<ByteArray>(mValue);
        return std::string(b.begin(), b.end());
    }
    default: TypeMismatch();
    }
}

const std::string& Variant::AsString() const {
    if (!IsString()) TypeMismatch();
    return std::get<std::string>(mValue);
}

const ByteArray& Variant::AsBytes() const {
    if (!IsByteArray()) TypeMismatch();
    return std::get<ByteArray>(mValue);
}

const ObjectPtr& Variant::AsObject() const {
    if (!IsObject()) TypeMismatch();
    return std::get<ObjectPtr>(mValue);
}

bool operator==(const Variant& a, const Variant& b) {
    if (a.IsNumber() && b.IsNumber()) return a.AsDouble() == b.AsDouble();
    if (a.mValue.index() != b.mValue.index()) return false;
    return a.mValue == b.mValue;
}

}  // namespace tav
