// transvia reg: the offline registry tool (export, import, new, check) over hive files.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "command.h"
#include "registry/file_reg.h"
#include "registry/hive_check.h"
#include "registry/hive_commit.h"
#include "registry/hive_file.h"
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
};

// The folder of a hive file as a directory object, and the file's name in it.
std::shared_ptr<Common::rio_dir> HiveFolder(const std::string& path, Processor::String& name)
{
    const std::filesystem::path p(path);
    const std::string folder = p.has_parent_path() ? p.parent_path().string() : std::string(".");
    name = Processor::FromUtf8(p.filename().string());
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
    Common::file_reg root = Common::file_reg::open_hive(std::shared_ptr<Common::i_dir>(dir), name, error);
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
    std::string out;
    std::error_code ignored;
    out.reserve(static_cast<size_t>(std::filesystem::file_size(options.hive, ignored)) + 4096);  // about the hive's size
    const bool complete = Common::RegText::Export(key, path, prefix, out);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
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
    });
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

void RunCheck(const RegOptions& options)
{
    Processor::String name;
    auto dir = HiveFolder(options.hive, name);
    std::vector<uint8_t> bytes;
    Common::Error error;
    if (!Common::ReadWholeFile(*dir, name, bytes, error))
        throw error;
    std::vector<std::string> faults;
    Common::HiveCheckSummary summary;
    if (Common::CheckHive(bytes.data(), bytes.size(), faults, summary)) {
        std::cout << options.hive << ": sound; version 1." << summary.minor << ", " << summary.bytes << " bytes, "
                  << summary.bins << " bins, " << summary.keys << " keys, " << summary.values << " values, "
                  << summary.security_cells << " security cells\n";
        return;
    }
    for (const std::string& fault : faults)
        std::cout << options.hive << ": " << fault << '\n';
    std::cout << options.hive << ": " << faults.size() << (faults.size() == 1 ? " fault\n" : " faults\n");
    throw CLI::RuntimeError(1);
}

template <class Run> void Guarded(const RegOptions& options, Run run)
{
    if (options.verbose)
        EnableVerboseTraces();
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
    exportCommand->callback([options] { Guarded(*options, RunExport); });

    CLI::App* importCommand = reg->add_subcommand("import", "Merge a .reg file into a hive, atomically");
    importCommand->add_option("HIVE", options->hive, "Hive file")->required();
    importCommand->add_option("FILE", options->file, ".reg file (UTF-8, or UTF-16LE with BOM)")->required();
    importCommand->add_option("--prefix", options->prefix, "Path that begins every key (default: its first component)");
    importCommand->callback([options] { Guarded(*options, RunImport); });

    CLI::App* newCommand = reg->add_subcommand("new", "Create an empty hive");
    newCommand->add_option("HIVE", options->hive, "Hive file to create")->required();
    newCommand->add_option("--minor", options->minor, "Format minor version, 3 or 5")->capture_default_str();
    newCommand->add_option("--root", options->root, "Name of the root key")->capture_default_str();
    newCommand->callback([options] { Guarded(*options, RunNew); });

    CLI::App* checkCommand = reg->add_subcommand("check", "Check a hive's structure");
    checkCommand->add_option("HIVE", options->hive, "Hive file")->required();
    checkCommand->callback([options] { Guarded(*options, RunCheck); });
});

}  // namespace
}  // namespace TransviaCli
