// transvia: the command-line host of the engine.
#include <cstdio>
#include <map>
#include <mutex>

#include "command.h"
#include "support/errors.h"
#include "support/message_format.h"
#include "support/text.h"
#include "support/trace.h"
#include "transvia/transvia.h"

namespace TransviaCli {

namespace {
std::multimap<int, CommandSetup>& Registry()
{
    static std::multimap<int, CommandSetup> registry;
    return registry;
}

void PrintTrace(const char*, Common::EventLevel level, uint32_t, uint32_t, const char16_t* text)
{
    std::fprintf(stderr, "[%d] %s\n", static_cast<int>(level), Processor::ToUtf8(std::u16string_view(text ? text : u"")).c_str());
}

void PrintTraceEvent(const char* source, Common::EventLevel level, uint32_t facility, uint32_t code,
                     const char16_t* text, const Common::EventField*, int32_t)
{
    PrintTrace(source, level, facility, code, text);
}

void PrintTraceError(const char*, Common::EventLevel level, const Common::Error& error)
{
    std::fprintf(stderr, "[%d] %s\n", static_cast<int>(level), Processor::ToUtf8(Processor::RenderError(error)).c_str());
}
}  // namespace

CommandRegistration::CommandRegistration(int order, CommandSetup setup)
{
    Registry().emplace(order, std::move(setup));
}

void SetupCommands(CLI::App& app)
{
    for (auto& [order, setup] : Registry())
        setup(app);
}

void EnableVerboseTraces()
{
    SetTraceRedirection(&PrintTrace, &PrintTraceEvent, &PrintTraceError);
}

namespace {
// Level 3 is what the engine went on without: the user sees it even without -v.
class WarningSink final : public Common::TraceLogic {
public:
    void Text(const char*, Common::EventLevel level, uint32_t, uint32_t, const char16_t* text) override
    {
        if (level == Common::EventLevel::Problem)
            std::fprintf(stderr, "warning: %s\n", Processor::ToUtf8(std::u16string_view(text ? text : u"")).c_str());
    }
    void Event(const char* source, Common::EventLevel level, uint32_t facility, uint32_t code, const char16_t* text,
               const Common::EventField*, int32_t) override
    {
        Text(source, level, facility, code, text);
    }
    void ErrorEvent(const char*, Common::EventLevel level, const Common::Error& error) override
    {
        if (level == Common::EventLevel::Problem)
            std::fprintf(stderr, "warning %s\n", Processor::ToUtf8(Processor::RenderError(error)).c_str());
    }
};
}  // namespace

void EnableWarnings()
{
    static WarningSink sink;
    static std::once_flag added;
    std::call_once(added, [] { Common::AddTraceLogic(&sink); });
}

std::shared_ptr<Common::rio_dir> OpenFolder(const std::string& path)
{
    Common::Error error;
    auto folder = Common::OpenLocalDirectory(path, &error);
    if (!folder) {
        std::fprintf(stderr, "error: cannot open %s\n", path.c_str());
        PrintError(error);
        throw CLI::RuntimeError(2);
    }
    return folder;
}

void PrintError(const Common::Error& error)
{
    std::fprintf(stderr, "error %s\n", Processor::ToUtf8(Processor::RenderError(error)).c_str());
}

}  // namespace TransviaCli

int main(int argc, char** argv)
{
    CLI::App app{"transvia: makes a restored Windows installation bootable on new hardware, offline."};
    app.set_version_flag("--version", std::string("transvia ") + TRANSVIA_VERSION);
    app.require_subcommand(1);
    TransviaCli::SetupCommands(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    } catch (const Common::Error& error) {
        TransviaCli::PrintError(error);
        return 1;
    } catch (const std::exception& exception) {
        // Out of memory on a hostile hive and the like: said, never an abort.
        TransviaCli::PrintError(Common::ErrorFromException(exception, TV_HERE));
        return 1;
    }
    return 0;
}
