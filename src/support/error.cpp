#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "support/errors.h"
#include "support/message_table.h"
#include "support/text.h"

namespace Common {

namespace {

void ReleaseHeapRecord(ErrorRecord* record) noexcept
{
    ErrorRecord* cause = record->cause;
    record->~ErrorRecord();
    std::free(record);
    if (cause != nullptr && cause->refCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
        cause->ops->release(cause);
}

void KeepStaticRecord(ErrorRecord*) noexcept {}

constexpr ErrorRecordOps kHeapOps{&ReleaseHeapRecord};
constexpr ErrorRecordOps kStaticOps{&KeepStaticRecord};

// Handed out when memory for a record cannot be had; never freed.
ErrorRecord g_outOfMemory{{1}, Codes::kAllocationFailed, nullptr, &kStaticOps, 0, nullptr};

size_t TextLength(const char16_t* text)
{
    size_t n = 0;
    while (text[n] != u'\0') ++n;
    return n;
}

}  // namespace

Error::Error(const Error& other) noexcept : record_(other.record_)
{
    if (record_ != nullptr) record_->refCount.fetch_add(1, std::memory_order_relaxed);
}

Error& Error::operator=(const Error& other) noexcept
{
    if (this != &other) {
        Error copy(other);
        std::swap(record_, copy.record_);
    }
    return *this;
}

Error& Error::operator=(Error&& other) noexcept
{
    if (this != &other) {
        reset();
        record_ = other.record_;
        other.record_ = nullptr;
    }
    return *this;
}

Error::~Error() { reset(); }

void Error::reset() noexcept
{
    if (record_ != nullptr && record_->refCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
        record_->ops->release(record_);
    record_ = nullptr;
}

Error Error::Share(ErrorRecord* record) noexcept
{
    if (record != nullptr) record->refCount.fetch_add(1, std::memory_order_relaxed);
    return Error(record);
}

Error Error::Make(uint32_t code, uint64_t location, const char16_t* text, const Error& cause) noexcept
{
    return Make(code, location, text, -1, cause);
}

Error Error::Make(uint32_t code, uint64_t location, const char16_t* text, int32_t length,
                  const Error& cause) noexcept
{
    // A negative length is ICU's "NUL-terminated".
    const size_t size = text == nullptr ? 0 : length < 0 ? TextLength(text) : static_cast<size_t>(length);
    // Texts of the loaded message table live for the process: reference them, but only
    // when the caller asked for the whole text; a part of one is copied like any text.
    const bool referenced = text != nullptr && MessageTable::Contains(text) && TextLength(text) == size;
    const size_t copied = (text != nullptr && !referenced) ? size + 1 : 0;
    void* memory = std::malloc(sizeof(ErrorRecord) + copied * sizeof(char16_t));
    if (memory == nullptr) return Share(&g_outOfMemory);

    auto* record = new (memory) ErrorRecord{{1}, code, nullptr, &kHeapOps, location, nullptr};
    if (referenced) {
        record->text = text;
    } else if (text != nullptr) {
        auto* storage = reinterpret_cast<char16_t*>(record + 1);
        std::memcpy(storage, text, size * sizeof(char16_t));
        storage[size] = u'\0';
        record->text = storage;
    }
    if (cause.record_ != nullptr) {
        cause.record_->refCount.fetch_add(1, std::memory_order_relaxed);
        record->cause = cause.record_;
    }
    return Error(record);
}

Error MakeError(uint32_t code, uint64_t site, const Processor::String& text, const Error& cause)
{
    return Error::Make(code, site, text.getBuffer(), text.length(), cause);
}

void Raise(uint32_t code, uint64_t site, const Processor::String& text, const Error& cause)
{
    throw MakeError(code, site, text, cause);
}

void Raise(const Error& error) { throw error; }

Error SystemError(int error, uint64_t site)
{
    return MakeError(Codes::FromSystemError(error), site, Processor::FromUtf8(std::strerror(error)));
}

Error SystemError(int error, uint64_t site, const Processor::String& what)
{
    Processor::String text(what);
    text.append(u": ").append(Processor::FromUtf8(std::strerror(error)));
    return MakeError(Codes::FromSystemError(error), site, text);
}

Error ErrorFromException(const std::exception& exception, uint64_t site)
{
    if (dynamic_cast<const std::bad_alloc*>(&exception))
        return MakeError(Codes::kOutOfMemory, site, MessageTable::Get(Messages::kOutOfMemory));
    return MakeError(Codes::kUnexpectedException, site,
                     MessageTable::Text(Messages::kUnexpectedFailure, {Processor::FromUtf8(exception.what())}));
}

}  // namespace Common
