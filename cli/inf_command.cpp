// transvia inf show|check: the INF model as the engine reads it, and a quick validity check.
#include <filesystem>
#include <iostream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "command.h"
#include "inf/inf.h"
#include "support/message_format.h"
#include "support/text.h"
#include "transvia/dir.h"

namespace TransviaCli {
namespace {

using Json = nlohmann::ordered_json;

struct InfShowOptions {
    std::string file;
    bool hashComments = false;
    bool expand = false;
    bool json = false;
};

struct InfCheckOptions {
    std::vector<std::string> files;
    bool hashComments = false;
};

struct ParseOutcome {
    std::unique_ptr<Transvia::Inf> inf;
    Transvia::ParseError error;
    Common::Error openError;  // set when the file could not even be opened
};

ParseOutcome ParseLocalFile(const std::string& path, uint32_t flags)
{
    ParseOutcome outcome;
    const std::filesystem::path file(path);
    const std::string folder = file.has_parent_path() ? file.parent_path().string() : std::string(".");
    std::shared_ptr<Common::rio_dir> dir = Common::OpenLocalDirectory(folder, &outcome.openError);
    if (!dir)
        return outcome;
    std::shared_ptr<Common::i_file> handle = dir->open_file(Processor::FromFileName(file.filename().string()));
    if (!handle) {
        outcome.openError = dir->last_error();
        return outcome;
    }
    outcome.inf = Transvia::ParseInf(*handle, nullptr, &outcome.error, flags);
    handle->close();
    return outcome;
}

std::string Describe(const Transvia::ParseError& error)
{
    std::ostringstream text;
    switch (error.code) {
    case Transvia::ParseReadError:
        text << "read error";
        break;
    case Transvia::ParseSyntaxError:
        text << "syntax error";
        break;
    case Transvia::ParseOk:
        // The parser stops with code 0 only on an entry whose key is empty.
        text << "entry with an empty key";
        break;
    default:
        text << "error " << error.code;
        break;
    }
    text << " at line " << error.line << ", column " << error.column;
    return text.str();
}

std::string Utf8(const char16_t* text)
{
    return text == nullptr ? std::string() : Processor::ToUtf8(std::u16string_view(text));
}

// One line, with ", " and ": " between items, as people and scripts both read it easily.
void WriteJson(std::ostream& out, const Json& value)
{
    if (value.is_object()) {
        out << '{';
        bool first = true;
        for (const auto& [key, item] : value.items()) {
            out << (first ? "" : ", ") << Json(key).dump() << ": ";
            WriteJson(out, item);
            first = false;
        }
        out << '}';
    } else if (value.is_array()) {
        out << '[';
        for (size_t i = 0; i < value.size(); ++i) {
            out << (i == 0 ? "" : ", ");
            WriteJson(out, value[i]);
        }
        out << ']';
    } else {
        out << value.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
}

// A field as it could be written in an INF file: quoted when blanks at its ends, a comma
// or a semicolon would otherwise change it.
std::string ShowField(const std::string& field)
{
    const bool quote = field.empty() || field.find_first_of(",;") != std::string::npos ||
                       std::isspace(static_cast<unsigned char>(field.front())) ||
                       std::isspace(static_cast<unsigned char>(field.back()));
    return quote ? "\"" + field + "\"" : field;
}

void RunShow(const InfShowOptions& options)
{
    ParseOutcome outcome = ParseLocalFile(options.file, options.hashComments ? Transvia::HashComments : 0u);
    if (outcome.openError.failed()) {
        PrintError(outcome.openError);
        throw CLI::RuntimeError(1);
    }
    if (!outcome.inf) {
        if (options.json) {
            Json error{{"code", outcome.error.code}, {"line", outcome.error.line}, {"column", outcome.error.column}};
            WriteJson(std::cout, Json{{"error", error}});
            std::cout << '\n';
        } else {
            std::cerr << options.file << ": " << Describe(outcome.error) << '\n';
        }
        throw CLI::RuntimeError(2);
    }

    Transvia::Inf& inf = *outcome.inf;
    auto field = [&](const char16_t* text) {
        return Utf8(options.expand ? inf.ExpandString(text, nullptr) : text);
    };
    Json sections = Json::array();
    for (uint32_t s = 0; s < inf.GetSectionCount(); ++s) {
        Transvia::Section* section = inf.GetSection(static_cast<int32_t>(s));
        Json entries = Json::array();
        if (!options.json)
            std::cout << '[' << Utf8(section->GetName()) << "]\n";
        for (uint32_t e = 0; e < section->GetEntryCount(); ++e) {
            Transvia::SectionEntry* entry = section->GetEntry(static_cast<int32_t>(e));
            Json fields = Json::array();
            std::string line = entry->GetKey()[0] != u'\0' ? Utf8(entry->GetKey()) + " = " : std::string();
            for (uint32_t f = 0; f < entry->GetFieldCount(); ++f) {
                std::string text = field(entry->GetField(static_cast<int32_t>(f)));
                line += (f == 0 ? "" : ", ") + ShowField(text);
                fields.push_back(std::move(text));
            }
            if (options.json)
                entries.push_back(Json{{"key", Utf8(entry->GetKey())}, {"fields", std::move(fields)}});
            else
                std::cout << line << '\n';
        }
        if (options.json)
            sections.push_back(Json{{"name", Utf8(section->GetName())}, {"entries", std::move(entries)}});
        else if (s + 1 < inf.GetSectionCount())
            std::cout << '\n';
    }
    if (options.json) {
        WriteJson(std::cout, Json{{"sections", std::move(sections)}});
        std::cout << '\n';
    }
}

bool IsTxtsetupOem(const std::string& path)
{
    return Processor::EqualNoCase(Processor::FromUtf8(std::filesystem::path(path).filename().string()),
                                  Processor::String(u"txtsetup.oem"));
}

void RunCheck(const InfCheckOptions& options)
{
    bool failed = false;
    for (const std::string& path : options.files) {
        // txtsetup.oem files are read with '#' comments, as the engine reads them.
        const bool hash = options.hashComments || IsTxtsetupOem(path);
        ParseOutcome outcome = ParseLocalFile(path, hash ? Transvia::HashComments : 0u);
        if (outcome.openError.failed()) {
            std::cout << path << ": cannot open: " << Processor::ToUtf8(Processor::RenderError(outcome.openError))
                      << '\n';
            failed = true;
        } else if (!outcome.inf) {
            std::cout << path << ": " << Describe(outcome.error) << '\n';
            failed = true;
        } else {
            std::cout << path << ": ok\n";
        }
    }
    if (failed)
        throw CLI::RuntimeError(1);
}

CommandRegistration registration(30, [](CLI::App& app) {
    CLI::App* inf = app.add_subcommand("inf", "Read files in INF syntax as the engine reads them");
    inf->require_subcommand(1);

    auto show = std::make_shared<InfShowOptions>();
    CLI::App* showCommand = inf->add_subcommand("show", "Print the parsed model of one INF file");
    showCommand->add_option("FILE", show->file, "INF file")->required();
    showCommand->add_flag("--hash-comments", show->hashComments, "Lines starting with '#' are comments (txtsetup.oem)");
    showCommand->add_flag("--expand", show->expand, "Replace %key% tokens from [Strings]");
    showCommand->add_flag("--json", show->json, "Print JSON");
    showCommand->callback([show] { RunShow(*show); });

    auto check = std::make_shared<InfCheckOptions>();
    CLI::App* checkCommand =
        inf->add_subcommand("check", "Parse INF files and report each one: ok, or the error with line and column");
    checkCommand->add_option("FILE", check->files, "INF files")->required();
    checkCommand->add_flag("--hash-comments", check->hashComments,
                           "Lines starting with '#' are comments (always so for txtsetup.oem)");
    checkCommand->callback([check] { RunCheck(*check); });
});

}  // namespace
}  // namespace TransviaCli
