#include "support/variant.h"

#include "support/text.h"

namespace Processor {

Variant::Variant(const char* v)
{
    if (v != nullptr) value_ = FromUtf8(v);
}

Variant::Type Variant::type() const { return static_cast<Type>(value_.index()); }

const char* Variant::TypeName(Type type)
{
    static const char* const names[] = {"TDate",   "TDouble",    "TLong",      "TULong", "TString",
                                        "TLong64", "TULong64",   "TInterface", "TBinary", "TIdentifier",
                                        "TBool",   "TVariant",   "TError",     "TEmpty"};
    return type <= TEmpty ? names[type] : "TEmpty";
}

bool Variant::AsInt64(int64_t& out) const
{
    switch (type()) {
    case TLong: out = std::get<TLong>(value_); return true;
    case TULong: out = std::get<TULong>(value_); return true;
    case TLong64: out = std::get<TLong64>(value_); return true;
    case TULong64: out = static_cast<int64_t>(std::get<TULong64>(value_)); return true;
    case TDouble: {
        const double d = std::get<TDouble>(value_);
        if (!(d >= -9.2e18 && d <= 9.2e18)) return false;
        out = static_cast<int64_t>(d);
        return true;
    }
    case TBool: out = std::get<TBool>(value_) ? 1 : 0; return true;
    default: return false;
    }
}

bool Variant::AsDouble(double& out) const
{
    switch (type()) {
    case TDouble: out = std::get<TDouble>(value_); return true;
    case TULong64: out = static_cast<double>(std::get<TULong64>(value_)); return true;
    case TDate: out = std::get<TDate>(value_).value; return true;
    default: {
        int64_t i;
        if (!AsInt64(i)) return false;
        out = static_cast<double>(i);
        return true;
    }
    }
}

}  // namespace Processor
