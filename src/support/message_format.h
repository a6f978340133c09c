#pragma once

#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>

#include "support/variant.h"
#include "transvia/string.h"

namespace Processor {

// Fields of one placeholder: index, type, style and extra ("{0,number,integer,000}").
struct PlaceholderFields {
    String index;
    String type;
    String style;
    String extra;
};

class SubformatBase {
public:
    virtual ~SubformatBase() = default;
    // Appends the rendering of `argument` to `output`; returns the new output length.
    virtual int32_t format(const Variant& argument, String& output, const PlaceholderFields& fields) const = 0;
};

class MessageFormat {
public:
    virtual ~MessageFormat() = default;
    virtual String format(const String& pattern, const Variant* arguments, size_t count) const = 0;
    // Writes at most `capacity` units (NUL included) and returns the full length of the result.
    virtual size_t format(const String& pattern, const Variant* arguments, size_t count, char16_t* buffer,
                          size_t capacity) const = 0;
};

class MessageFormatImpl final : public MessageFormat {
public:
    MessageFormatImpl();
    ~MessageFormatImpl() override;

    String format(const String& pattern, const Variant* arguments, size_t count) const override;
    size_t format(const String& pattern, const Variant* arguments, size_t count, char16_t* buffer,
                  size_t capacity) const override;

private:
    class Scanner;
    const SubformatBase& default_subformat() const;

    std::map<String, std::unique_ptr<SubformatBase>> subformats_;
    mutable std::once_flag default_once_;
    mutable std::unique_ptr<SubformatBase> default_;
};

// The process's formatter.
const MessageFormat& Formatter();

// Shorthand: Format(u"ControlSet{0,number,integer,000}", {1u}).
String Format(const String& pattern, std::initializer_list<Variant> arguments = {});

// The text of an error and its causes, one per line: "0x1D0007: text", then "  cause: ..." lines.
String RenderError(const Common::Error& error);

}  // namespace Processor
