#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>
#include <variant>
#include <vector>

#include "transvia/error.h"
#include "transvia/string.h"

namespace Processor {

// An object that can describe itself to the formatter: its "Name" property and its type name.
class NamedObject {
public:
    virtual ~NamedObject() = default;
    // The "Name" property when it holds a string.
    virtual bool NameString(String& name) const = 0;
    // The interface's type name; empty when the object carries no type information.
    virtual String TypeName() const = 0;
};

// Tagged value: message argument and registry value data.
class Variant {
public:
    enum Type : uint32_t {
        TDate = 0,
        TDouble,
        TLong,
        TULong,
        TString,
        TLong64,
        TULong64,
        TInterface,
        TBinary,
        TIdentifier,
        TBool,
        TVariant,
        TError,
        TEmpty,
    };

    struct Date {
        double value;  // days since 1899-12-30, as the Windows date type counts them
    };
    struct Identifier {
        String text;
    };
    using Binary = std::vector<uint8_t>;
    using Interface = std::shared_ptr<const NamedObject>;

    Variant() = default;
    Variant(Date v) : value_(v) {}
    Variant(double v) : value_(v) {}
    Variant(int32_t v) : value_(v) {}
    Variant(uint32_t v) : value_(v) {}
    Variant(const String& v) : value_(v) {}
    Variant(const char16_t* v) : value_(String(v)) {}
    // Narrow text is UTF-8; without this it would silently become a bool.
    Variant(const char* v);
    // Any other pointer would also become a bool: refuse it at compile time.
    template <class T>
        requires(!std::is_same_v<std::remove_cv_t<T>, char> && !std::is_same_v<std::remove_cv_t<T>, char16_t>)
    Variant(T*) = delete;
    Variant(int64_t v) : value_(v) {}
    Variant(uint64_t v) : value_(v) {}
    Variant(Interface v) : value_(std::move(v)) {}
    Variant(Binary v) : value_(std::move(v)) {}
    Variant(Identifier v) : value_(std::move(v)) {}
    Variant(bool v) : value_(v) {}
    Variant(const Common::Error& v) : value_(v) {}

    Type type() const;
    // "TDate", "TDouble", ... "TEmpty".
    static const char* TypeName(Type type);

    template <class T> const T* get() const { return std::get_if<T>(&value_); }
    bool empty() const { return type() == TEmpty; }
    // Integral and floating values as a number; false for other types.
    bool AsInt64(int64_t& out) const;
    bool AsDouble(double& out) const;

private:
    // Index order follows the type codes; TVariant has no payload of its own.
    std::variant<Date, double, int32_t, uint32_t, String, int64_t, uint64_t, Interface, Binary, Identifier,
                 bool, std::monostate /*TVariant*/, Common::Error, std::monostate /*TEmpty*/>
        value_{std::in_place_index<TEmpty>};
};

}  // namespace Processor
