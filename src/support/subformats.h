#pragma once

#include "support/message_format.h"

// The renderings a placeholder's type field can name.
namespace Processor {

// The error's own text: the record's text, or "Error 0x..." without one.
String ErrorOwnText(const Common::Error& error);

// Used when a placeholder names no type.
class SubformatSimple final : public SubformatBase {
public:
    int32_t format(const Variant& argument, String& output, const PlaceholderFields& fields) const override;
};

class SubformatNumber final : public SubformatBase {
public:
    int32_t format(const Variant& argument, String& output, const PlaceholderFields& fields) const override;
};

class SubformatDate final : public SubformatBase {
public:
    enum Kind { kDateOnly = 0, kTimeOnly = 1, kDateAndTime = 2 };
    explicit SubformatDate(Kind kind) : kind_(kind) {}
    int32_t format(const Variant& argument, String& output, const PlaceholderFields& fields) const override;

private:
    Kind kind_;
};

class SubformatChoice final : public SubformatBase {
public:
    int32_t format(const Variant& argument, String& output, const PlaceholderFields& fields) const override;
};

class SubformatConcord final : public SubformatBase {
public:
    int32_t format(const Variant& argument, String& output, const PlaceholderFields& fields) const override;
};

class SubformatError final : public SubformatBase {
public:
    int32_t format(const Variant& argument, String& output, const PlaceholderFields& fields) const override;
};

class SubformatSize final : public SubformatBase {
public:
    int32_t format(const Variant& argument, String& output, const PlaceholderFields& fields) const override;
};

class SubformatEllipsis final : public SubformatBase {
public:
    int32_t format(const Variant& argument, String& output, const PlaceholderFields& fields) const override;
};

class SubformatPathEllipsis final : public SubformatBase {
public:
    int32_t format(const Variant& argument, String& output, const PlaceholderFields& fields) const override;
};

class SubformatTimeSpan final : public SubformatBase {
public:
    int32_t format(const Variant& argument, String& output, const PlaceholderFields& fields) const override;
};

}  // namespace Processor
