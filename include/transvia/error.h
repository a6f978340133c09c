#pragma once

#include <atomic>
#include <cstdint>

#include "transvia/export.h"

namespace Common {

struct ErrorRecord;

// How a record is released when its last handle goes; the static out-of-memory
// record has a table that never frees it.
struct ErrorRecordOps {
    void (*release)(ErrorRecord* record) noexcept;
};

// Shared, reference-counted error record. Field order is part of the host ABI.
struct ErrorRecord {
    std::atomic<uint32_t> refCount;
    uint32_t code;
    ErrorRecord* cause;
    const ErrorRecordOps* ops;
    uint64_t location;
    const char16_t* text;  // "{0}" of the code's message; null when absent
};

// Handle to an ErrorRecord. Empty means success; a record with code 0 is an
// informational message that carries a cause, also not a failure.
// Thrown by value inside the engine, returned by value from every entry.
class TRANSVIA_API Error {
public:
    Error() noexcept : record_(nullptr) {}
    Error(const Error& other) noexcept;
    Error(Error&& other) noexcept : record_(other.record_) { other.record_ = nullptr; }
    Error& operator=(const Error& other) noexcept;
    Error& operator=(Error&& other) noexcept;
    ~Error();

    // Creates a record. A text inside the loaded message table is referenced,
    // any other text is copied. Never throws: out of memory yields the static
    // record with code 0xFFF2. A negative `length` means `text` is NUL-terminated;
    // otherwise exactly `length` units are taken (a table text cut short is copied).
    static Error Make(uint32_t code, uint64_t location, const char16_t* text = nullptr,
                      const Error& cause = Error()) noexcept;
    static Error Make(uint32_t code, uint64_t location, const char16_t* text, int32_t length,
                      const Error& cause) noexcept;

    // Takes another reference to an existing record (null gives the empty handle).
    static Error Share(ErrorRecord* record) noexcept;

    bool empty() const noexcept { return record_ == nullptr; }
    // True for a record with a non-zero code.
    bool failed() const noexcept { return record_ != nullptr && record_->code != 0; }
    uint32_t code() const noexcept { return record_ ? record_->code : 0; }
    uint64_t location() const noexcept { return record_ ? record_->location : 0; }
    const char16_t* text() const noexcept { return record_ ? record_->text : nullptr; }
    Error cause() const noexcept { return Share(record_ ? record_->cause : nullptr); }
    ErrorRecord* record() const noexcept { return record_; }
    uint32_t use_count() const noexcept { return record_ ? record_->refCount.load() : 0; }

private:
    explicit Error(ErrorRecord* adopted) noexcept : record_(adopted) {}
    void reset() noexcept;

    ErrorRecord* record_;
};

}  // namespace Common
