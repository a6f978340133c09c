#include "hardware/hardware_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "hardware/device_ids.h"

namespace Transvia {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view WithoutBom(std::string_view content)
{
    if (content.substr(0, kUtf8Bom.size()) == kUtf8Bom)
        content.remove_prefix(kUtf8Bom.size());
    return content;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Shows an identifier in a message without letting control bytes reach the terminal.
std::string Printable(std::string_view text)
{
    static const char kDigits[] = "0123456789ABCDEF";
    constexpr size_t kShown = 80;
    std::string shown;
    for (char c : text.substr(0, kShown)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            shown += c;
        } else {
            shown += "\\x";
            shown += kDigits[byte >> 4];
            shown += kDigits[byte & 0xF];
        }
    }
    if (text.size() > kShown)
        shown += "...";
    return shown;
}

std::string BadIdMessage(std::string_view id)
{
    return "'" + Printable(id) + "' is not a hardware identifier (printable ASCII without spaces or commas)";
}

// Line and column (1-based) of a byte offset.
void Locate(std::string_view content, size_t offset, HardwareFileError& error)
{
    offset = std::min(offset, content.size());
    error.line = 1;
    size_t lineStart = 0;
    for (size_t i = 0; i < offset; ++i)
        if (content[i] == '\n') {
            ++error.line;
            lineStart = i + 1;
        }
    error.column = offset - lineStart + 1;
}

// Checks the shape {"devices": [[string, ...], ...]} as the parser reports events,
// so no document tree is built and nesting cannot run deep.
class DescriptionReader : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit DescriptionReader(HardwareFileError& error) : error_(error) {}

    bool null() override { return Unexpected("null"); }
    bool boolean(bool) override { return Unexpected("a boolean"); }
    bool number_integer(number_integer_t) override { return Unexpected("a number"); }
    bool number_unsigned(number_unsigned_t) override { return Unexpected("a number"); }
    bool number_float(number_float_t, const string_t&) override { return Unexpected("a number"); }
    bool binary(binary_t&) override { return Unexpected("binary data"); }

    bool string(string_t& value) override
    {
        if (skipDepth_ > 0 || state_ == State::SkipValue)
            return Skipped();
        if (state_ != State::Device)
            return Unexpected("a string");
        if (!IsWellFormedId(value))
            return Fail(DeviceLabel() + ", identifier " + std::to_string(device_.size() + 1) + ": " + BadIdMessage(value));
        device_.push_back(std::move(value));
        return true;
    }

    bool start_object(std::size_t) override
    {
        if (skipDepth_ > 0 || state_ == State::SkipValue)
            return Nested();
        if (state_ != State::Start)
            return Unexpected("an object");
        state_ = State::Outer;
        return true;
    }

    bool key(string_t& name) override
    {
        if (skipDepth_ > 0)
            return true;
        if (name != "devices") {
            state_ = State::SkipValue;
            return true;
        }
        if (sawDevices_)
            return Fail("\"devices\" appears twice");
        sawDevices_ = true;
        state_ = State::DevicesValue;
        return true;
    }

    bool end_object() override
    {
        if (skipDepth_ > 0)
            return Unnested();
        if (!sawDevices_)
            return Fail("the description has no \"devices\" array");
        state_ = State::Done;
        return true;
    }

    bool start_array(std::size_t) override
    {
        if (skipDepth_ > 0 || state_ == State::SkipValue)
            return Nested();
        switch (state_) {
        case State::DevicesValue:
            state_ = State::Devices;
            return true;
        case State::Devices:
            device_ = DeviceIds();
            state_ = State::Device;
            return true;
        default:
            return Unexpected("an array");
        }
    }

    bool end_array() override
    {
        if (skipDepth_ > 0)
            return Unnested();
        if (state_ == State::Device) {
            if (device_.empty())
                return Fail(DeviceLabel() + " has no identifiers");
            parsed_.push_back(std::move(device_));
            device_ = DeviceIds();
            state_ = State::Devices;
            return true;
        }
        state_ = State::Outer;  // end of the devices array
        return true;
    }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) override
    {
        // nlohmann's text starts with "[json.exception.parse_error.101] parse error at line L, column C: ".
        std::string message = e.what();
        if (const size_t colon = message.find(": "); colon != std::string::npos)
            message.erase(0, colon + 2);
        position_ = position;
        error_.message = "JSON syntax: " + message;
        located_ = true;
        return false;
    }

    // Whether the error carries a byte position (a syntax error) to turn into line and column.
    bool located() const { return located_; }
    size_t position() const { return position_; }
    DeviceList& parsed() { return parsed_; }

private:
    enum class State { Start, Outer, SkipValue, DevicesValue, Devices, Device, Done };

    bool Fail(std::string message)
    {
        error_.message = std::move(message);
        return false;
    }

    std::string DeviceLabel() const { return "device " + std::to_string(parsed_.size() + 1); }

    bool Unexpected(const char* what)
    {
        if (skipDepth_ > 0 || state_ == State::SkipValue)
            return Skipped();
        switch (state_) {
        case State::Start: return Fail("the description must be an object with a \"devices\" array, not " + std::string(what));
        case State::DevicesValue: return Fail("\"devices\" must be an array of devices, not " + std::string(what));
        case State::Devices: return Fail(DeviceLabel() + " must be an array of identifier strings, not " + what);
        case State::Device: return Fail(DeviceLabel() + ": identifiers must be strings, not " + what);
        default: return Fail(std::string("unexpected ") + what);
        }
    }

    // A value under an ignored member.
    bool Skipped()
    {
        if (skipDepth_ == 0)
            state_ = State::Outer;
        return true;
    }
    bool Nested()
    {
        ++skipDepth_;
        return true;
    }
    bool Unnested()
    {
        if (--skipDepth_ == 0)
            state_ = State::Outer;
        return true;
    }

    HardwareFileError& error_;
    DeviceList parsed_;
    DeviceIds device_;
    State state_ = State::Start;
    size_t skipDepth_ = 0;
    bool sawDevices_ = false;
    bool located_ = false;
    size_t position_ = 0;
};

bool CheckDevice(const DeviceIds& device, size_t index, HardwareFileError& error)
{
    error = HardwareFileError();
    if (device.empty()) {
        error.message = "device " + std::to_string(index + 1) + " has no identifiers";
        return false;
    }
    for (const std::string& id : device)
        if (!IsWellFormedId(id)) {
            error.message = "device " + std::to_string(index + 1) + ": " + BadIdMessage(id);
            return false;
        }
    return true;
}

}  // namespace

std::string HardwareFileError::describe() const
{
    if (line == 0)
        return message;
    std::string place = "line " + std::to_string(line);
    if (column != 0)
        place += ", column " + std::to_string(column);
    return place + ": " + message;
}

HardwareFileFormat DetectHardwareFileFormat(std::string_view content)
{
    content = WithoutBom(content);
    for (char c : content)
        if (!IsBlank(c))
            return c == '{' || c == '[' ? HardwareFileFormat::Json : HardwareFileFormat::Text;
    return HardwareFileFormat::Text;
}

bool ParseHardwareDescription(std::string_view content, DeviceList& devices, HardwareFileError& error)
{
    return DetectHardwareFileFormat(content) == HardwareFileFormat::Json ? ParseHardwareJson(content, devices, error)
                                                                         : ParseHardwareText(content, devices, error);
}

bool ParseHardwareJson(std::string_view content, DeviceList& devices, HardwareFileError& error)
{
    error = HardwareFileError();
    const std::string_view json = WithoutBom(content);
    DescriptionReader reader(error);
    bool ok = false;
    try {
        ok = nlohmann::json::sax_parse(json.begin(), json.end(), &reader);
    } catch (const std::exception& e) {  // the reader never throws; the parser may run out of memory
        error.message = std::string("JSON: ") + e.what();
        return false;
    }
    if (!ok) {
        if (reader.located()) {
            // nlohmann counts the position one past the offending character.
            const size_t offset = reader.position() > 0 ? reader.position() - 1 : 0;
            Locate(content, offset + (content.size() - json.size()), error);
        }
        return false;
    }
    devices.insert(devices.end(), std::make_move_iterator(reader.parsed().begin()),
                   std::make_move_iterator(reader.parsed().end()));
    return true;
}

bool ParseHardwareText(std::string_view content, DeviceList& devices, HardwareFileError& error)
{
    error = HardwareFileError();
    const size_t bomLength = content.size() - WithoutBom(content).size();
    DeviceList parsed;
    size_t line = 0;
    size_t lineStart = 0;
    while (lineStart < content.size()) {
        ++line;
        size_t lineEnd = content.find('\n', lineStart);
        if (lineEnd == std::string_view::npos)
            lineEnd = content.size();
        std::string_view text = content.substr(lineStart, lineEnd - lineStart);
        const size_t skip = line == 1 ? bomLength : 0;
        text.remove_prefix(std::min(skip, text.size()));
        if (const size_t hash = text.find('#'); hash != std::string_view::npos)
            text = text.substr(0, hash);

        DeviceIds device;
        size_t at = 0;
        while (at < text.size()) {
            while (at < text.size() && IsBlank(text[at]))
                ++at;
            size_t end = at;
            while (end < text.size() && !IsBlank(text[end]))
                ++end;
            if (end == at)
                break;
            const std::string_view id = text.substr(at, end - at);
            if (!IsWellFormedId(id)) {
                error.line = line;
                error.column = skip + at + 1;
                error.message = BadIdMessage(id);
                return false;
            }
            device.push_back(std::string(id));
            at = end;
        }
        if (!device.empty())
            parsed.push_back(std::move(device));
        lineStart = lineEnd + 1;
    }
    devices.insert(devices.end(), std::make_move_iterator(parsed.begin()), std::make_move_iterator(parsed.end()));
    return true;
}

bool LoadHardwareDescription(const std::string& path, DeviceList& devices, HardwareFileError& error)
{
    error = HardwareFileError();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error.message = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error.message = "'" + path + "' is not a regular file";
        ::close(fd);
        return false;
    }
    std::string content;
    char buffer[65536];
    while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error.message = "cannot read '" + path + "': " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (got == 0)
            break;
        if (content.size() + static_cast<size_t>(got) > kHardwareFileLimit) {
            error.message = "'" + path + "' is larger than " + std::to_string(kHardwareFileLimit >> 20) + " MB";
            ::close(fd);
            return false;
        }
        content.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    return ParseHardwareDescription(content, devices, error);
}

bool FormatHardwareDescription(const DeviceList& devices, HardwareFileFormat format, std::string& out,
                               HardwareFileError& error)
{
    for (size_t i = 0; i < devices.size(); ++i)
        if (!CheckDevice(devices[i], i, error))
            return false;
    std::string text;
    if (format == HardwareFileFormat::Text) {
        for (size_t i = 0; i < devices.size(); ++i)
            for (const std::string& id : devices[i])
                if (id.find('#') != std::string::npos) {
                    error.message = "device " + std::to_string(i + 1) + ": '" + id +
                                    "' holds '#', which starts a comment in the text form; write JSON instead";
                    return false;
                }
        // A comment first, so that an identifier starting with "[" or "{" is never taken for JSON.
        text = "# one device per line, identifiers most specific first\n";
        for (const DeviceIds& device : devices) {
            for (size_t i = 0; i < device.size(); ++i)
                text += (i ? " " : "") + device[i];
            text += '\n';
        }
    } else {
        text = "{\"devices\": [";
        for (size_t d = 0; d < devices.size(); ++d) {
            text += d ? ",\n  [" : "\n  [";
            for (size_t i = 0; i < devices[d].size(); ++i)
                text += (i ? ", " : "") + nlohmann::json(devices[d][i]).dump();
            text += ']';
        }
        text += devices.empty() ? "]}\n" : "\n]}\n";
    }
    out = std::move(text);
    return true;
}

}  // namespace Transvia
