// transvia reg: the offline registry tool (export, import, new, check) over hive files.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "command.h"
#include "inf/configuration.h"
#include "registry/file_reg.h"
#include "registry/hive_check.h"
#include "registry/hive_commit.h"
#include "registry/hive_file.h"
#include "registry/hive_format.h"
#include "registry/hive_recovery.h"
#include "registry/reg_text.h"
#include "support/errors.h"
#include "support/local_dir.h"
#include "support/text.h"
#include "transvia/codes.h"

namespace TransviaCli {
namespace {

struct RegOptions {
    std::string hive;
    std::string keyPath;
    std::string prefix;
    std::string file;
    unsigned minor = 5;
    std::string root = "ROOT";
    bool verbose = false;
    bool noLogs = false;
    bool strict = false;

    // The transaction logs beside a hive are replayed unless --no-logs; --strict or the
    // configuration's "StrictLogReplay" refuses a hive whose logs cannot all be recovered.
    Common::HiveLogPolicy policy() const
    {
        Common::HiveLogPolicy policy = Transvia::HiveLogPolicyFrom(Transvia::LoadConfiguration());
        policy.use_logs = !noLogs;
        policy.strict = policy.strict || strict;
        return policy;
    }
};

// The folder of a hive file as a directory object, and the file's name in it.
std::shared_ptr<Common::rio_dir> HiveFolder(const std::string& path, Processor::String& name)
{
    const std::filesystem::path p(path);
    const std::string folder = p.has_parent_path() ? p.parent_path().string() : std::string(".");
    name = Processor::FromFileName(p.filename().string());
    Common::Error error;
    auto dir = Common::OpenLocalDir(folder, error);
    if (!dir)
        throw error;
    return dir;
}

std::u16string Wide(const std::string& text)
{
    const Processor::String s = Processor::FromUtf8(text);
    return std::u16string(s.getBuffer(), static_cast<size_t>(s.length()));
}

void RunExport(const RegOptions& options)
{
    Processor::String name;
    auto dir = HiveFolder(options.hive, name);
    Common::Error error;
    Common::file_reg root = Common::file_reg::open_hive(std::shared_ptr<Common::i_dir>(dir), name, error, options.policy());
    if (root.empty())
        throw error;
    std::u16string path = Wide(options.keyPath);
    while (!path.empty() && path.back() == u'\\')
        path.pop_back();
    Common::file_reg key = path.empty() ? root : root.open_key(Processor::FromUtf8(options.keyPath));
    if (key.empty())
        throw Common::MakeError(Common::Codes::kRegistryOpenFailed, TV_HERE,
                                Processor::FromUtf8("no key \"" + options.keyPath + "\" in " + options.hive));
    const std::u16string prefix = options.prefix.empty() ? root.name() : Wide(options.prefix);
    // Streamed: an export can be many times the hive's size.
    bool written = true;
    const bool complete = Common::RegText::Export(key, path, prefix, [&written](std::string_view text) {
        written = written && std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    });
    if (std::fflush(stdout) != 0 || !written)
        throw Common::MakeError(Common::Codes::FromSystemError(errno), TV_HERE, u"the export cannot be written");
    if (!complete) {
        std::cerr << "transvia reg export: parts of the hive could not be read and are missing from the export\n";
        throw CLI::RuntimeError(2);
    }
}

void RunImport(const RegOptions& options)
{
    std::ifstream in(options.file, std::ios::binary);
    if (!in)
        throw Common::MakeError(Common::Codes::kInvalidArgument, TV_HERE, Processor::FromUtf8("cannot read " + options.file));
    std::stringstream content;
    content << in.rdbuf();
    std::vector<Common::RegText::Edit> edits;
    Common::Error error;
    if (!Common::RegText::Parse(content.str(), Wide(options.prefix), edits, error))
        throw error;
    Processor::String name;
    auto dir = HiveFolder(options.hive, name);
    error = Common::EditHiveAtomically(dir, name, [&](Common::file_reg& root, Common::Error& failure) {
        return Common::RegText::Apply(root, edits, failure);
    }, options.policy());
    if (error.failed())
        throw error;
}

void RunNew(const RegOptions& options)
{
    if (options.minor != 3 && options.minor != 5) {
        std::cerr << "transvia reg new: --minor must be 3 or 5\n";
        throw CLI::RuntimeError(2);
    }
    Processor::String name;
    auto dir = HiveFolder(options.hive, name);
    const Common::Error error = Common::CreateHive(*dir, name, options.minor, Processor::FromUtf8(options.root));
    if (error.failed())
        throw error;
}

// The state of a hive file's base block as Windows judges it at load.
std::string BaseBlockState(Common::Hive::Bytes bytes)
{
    using namespace Common::Hive;
    if (bytes.size() < HBLOCK_SIZE || Get32(bytes.data()) != kRegfSignature)
        return "not a hive file";
    const uint32_t primary = Get32(bytes.data() + kBasePrimarySequence);
    const uint32_t secondary = Get32(bytes.data() + kBaseSecondarySequence);
    if (BaseBlockChecksum(bytes.data()) != Get32(bytes.data() + kBaseChecksum))
        return "dirty: the base block checksum is wrong";
    if (primary != secondary)
        return "dirty: sequence numbers " + std::to_string(primary) + " and " + std::to_string(secondary) + " differ";
    return "clean, sequence number " + std::to_string(primary);
}

void RunCheck(const RegOptions& options)
{
    using namespace Common::Hive;
    Processor::String name;
    auto dir = HiveFolder(options.hive, name);
    std::vector<uint8_t> bytes;
    Common::Error error;
    if (!Common::ReadHiveFile(*dir, name, bytes, error))
        throw error;
    const std::string& hive = options.hive;
    std::cout << hive << ": " << BaseBlockState(bytes) << '\n';
    Bytes checked(bytes);
    ReplayResult replay;
    if (!options.noLogs) {
        // Read as for writing, so that a clean hive's logs are described as well.
        replay = Common::RecoverHive(*dir, name, bytes, options.policy(), true, error);
        std::istringstream lines(DescribeReplay(replay));
        for (std::string line; std::getline(lines, line);)
            std::cout << hive << ": " << line << '\n';
        if (error.failed())
            throw error;
        if (replay.status == ReplayStatus::replayed) {
            std::cout << hive << ": recovered from the logs: " << replay.entries_applied
                      << (replay.format == LogFormat::new_format ? " entries applied" : " log applied")
                      << "; the checks below are of the recovered hive, sequence number " << replay.new_sequence
                      << '\n';
            checked = Bytes(replay.image.data(), HBLOCK_SIZE + uint64_t(replay.bins_size));
        }
    }
    std::vector<std::string> faults;
    Common::HiveCheckSummary summary;
    if (Common::CheckHive(checked.data(), checked.size(), faults, summary)) {
        std::cout << hive << ": sound; version 1." << summary.minor << ", " << summary.bytes << " bytes, "
                  << summary.bins << " bins, " << summary.keys << " keys, " << summary.values << " values, "
                  << summary.security_cells << " security cells\n";
        return;
    }
    for (const std::string& fault : faults)
        std::cout << hive << ": " << fault << '\n';
    std::cout << hive << ": " << faults.size() << (faults.size() == 1 ? " fault\n" : " faults\n");
    throw CLI::RuntimeError(1);
}

// --no-logs and --strict, for the commands that read a hive.
void AddLogOptions(CLI::App* command, RegOptions& options)
{
    command->add_flag("--no-logs", options.noLogs,
                      "Take the hive file as it is, without replaying its transaction logs (.LOG1, .LOG2, .LOG)");
    command->add_flag("--strict", options.strict,
                      "Refuse a dirty hive whose logs cannot all be recovered, instead of using what they give");
}

template <class Run> void Guarded(const RegOptions& options, Run run)
{
    if (options.verbose)
        EnableVerboseTraces();
    else
        EnableWarnings();
    try {
        run(options);
    } catch (const Common::Error& error) {
        PrintError(error);
        throw CLI::RuntimeError(1);
    }
}

CommandRegistration registration(40, [](CLI::App& app) {
    auto options = std::make_shared<RegOptions>();
    CLI::App* reg = app.add_subcommand("reg", "Read and edit registry hive files offline");
    reg->require_subcommand(1);
    reg->add_flag("-v,--verbose", options->verbose, "Print the engine's traces on stderr");

    CLI::App* exportCommand = reg->add_subcommand("export", "Write a key and everything under it as a .reg text");
    exportCommand->add_option("HIVE", options->hive, "Hive file")->required();
    exportCommand->add_option("KEYPATH", options->keyPath, "Key below the root, backslash-separated");
    exportCommand->add_option("--prefix", options->prefix, "Path written before every key (default: the root key's name)");
    AddLogOptions(exportCommand, *options);
    exportCommand->callback([options] { Guarded(*options, RunExport); });

    CLI::App* importCommand = reg->add_subcommand("import", "Merge a .reg file into a hive, atomically");
    importCommand->add_option("HIVE", options->hive, "Hive file")->required();
    importCommand->add_option("FILE", options->file, ".reg file (UTF-8, or UTF-16LE with BOM)")->required();
    importCommand->add_option("--prefix", options->prefix, "Path that begins every key (default: its first component)");
    AddLogOptions(importCommand, *options);
    importCommand->callback([options] { Guarded(*options, RunImport); });

    CLI::App* newCommand = reg->add_subcommand("new", "Create an empty hive");
    newCommand->add_option("HIVE", options->hive, "Hive file to create")->required();
    newCommand->add_option("--minor", options->minor, "Format minor version, 3 or 5")->capture_default_str();
    newCommand->add_option("--root", options->root, "Name of the root key")->capture_default_str();
    newCommand->callback([options] { Guarded(*options, RunNew); });

    CLI::App* checkCommand = reg->add_subcommand("check", "Check a hive's structure");
    checkCommand->add_option("HIVE", options->hive, "Hive file")->required();
    AddLogOptions(checkCommand, *options);
    checkCommand->callback([options] { Guarded(*options, RunCheck); });
});

}  // namespace
}  // namespace TransviaCli
