#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "registry/hive_check.h"
#include "registry/hive_file.h"
#include "registry/reg_text.h"
#include "registry/registry_path.h"
#include "support/fixtures.h"
#include "support/text.h"

// A Windows target tree in a scratch folder, with hives written from .reg text:
// "[X\ControlSet001\Services\foo]" lines (the first component names no key; it is dropped).
namespace TargetTest {

class TargetTree {
public:
    // `windows` is the Windows folder's name as it is on disk ("Windows", "WINDOWS").
    explicit TargetTree(std::string windows = "Windows", std::string config = "System32/config")
        : windows_(std::move(windows)), config_(std::move(config))
    {
        std::filesystem::create_directories(ConfigPath());
    }

    const std::filesystem::path& path() const { return scratch_.path(); }
    std::filesystem::path ConfigPath() const { return scratch_.path() / windows_ / config_; }
    std::shared_ptr<Common::rio_dir> Root() const { return scratch_.dir(); }
    std::shared_ptr<Common::rio_dir> Windows() const { return scratch_.dir(windows_); }
    void Folder(const std::string& relative) const { std::filesystem::create_directories(scratch_.path() / relative); }
    void Write(const std::string& relative, const std::string& bytes) const { scratch_.write(relative, bytes); }

    // Creates the hive file `name` ("system", "software") holding what `reg` describes.
    void Hive(const std::string& name, const std::string& reg) const
    {
        auto config = Common::OpenLocalDirectory(ConfigPath().string());
        ASSERT_TRUE(config);
        ASSERT_TRUE(Common::CreateHive(*config, Processor::FromUtf8(name), 5, u"ROOT").empty());
        std::vector<Common::RegText::Edit> edits;
        Common::Error error;
        ASSERT_TRUE(Common::RegText::Parse(std::string(Common::RegText::kHeader) + "\n\n" + reg, u"", edits, error))
            << Processor::ToUtf8(error.text() ? std::u16string_view(error.text()) : std::u16string_view());
        Common::file_reg root = Common::file_reg::open_hive(config, Processor::FromUtf8(name), false, error);
        ASSERT_FALSE(root.empty());
        ASSERT_TRUE(Common::RegText::Apply(root, edits, error));
    }

    // Copies a hive file made elsewhere into the config folder as `name`.
    void CopyHive(const std::filesystem::path& from, const std::string& name) const
    {
        std::filesystem::copy_file(from, ConfigPath() / name, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::permissions(ConfigPath() / name, std::filesystem::perms::owner_read |
                                                               std::filesystem::perms::owner_write);
    }

    // The structural checker's faults of a hive file, empty when sound.
    std::vector<std::string> Faults(const std::string& name) const
    {
        const auto bytes = TestSupport::ReadFileBytes(ConfigPath() / name);
        std::vector<std::string> faults;
        Common::HiveCheckSummary summary;
        Common::CheckHive(bytes.data(), bytes.size(), faults, summary);
        return faults;
    }

private:
    TestSupport::ScratchDir scratch_;
    std::string windows_;
    std::string config_;
};

// What a key of the target's registry holds, read through lookups that create nothing.
inline bool Has(Transvia::RegistryKey* root, const Processor::String& path)
{
    return root && Transvia::OpenExistingKey(*root, path) != nullptr;
}
// A DWORD value, or -1 when the key or value is missing or of another type.
inline int64_t Dword(Transvia::RegistryKey* root, const Processor::String& path, const Processor::String& name)
{
    auto key = root ? Transvia::OpenExistingKey(*root, path) : nullptr;
    uint32_t type = 0, size = 4, data = 0;
    if (!key || !key->QueryValue(name, type, &data, size) || type != Transvia::RegistryKey::TypeDword)
        return -1;
    return data;
}
// A string value, or "<none>"; a multi-string value's entries joined by commas.
inline std::string Text(Transvia::RegistryKey* root, const Processor::String& path, const Processor::String& name)
{
    auto key = root ? Transvia::OpenExistingKey(*root, path) : nullptr;
    Processor::String text;
    std::vector<Processor::String> list;
    if (key && Transvia::ReadStringValue(*key, name, text))
        return Processor::ToUtf8(text);
    if (!key || !Transvia::ReadMultiStringValue(*key, name, list))
        return "<none>";
    std::string joined;
    for (const Processor::String& entry : list)
        joined += (joined.empty() ? "" : ",") + Processor::ToUtf8(entry);
    return joined;
}
inline std::vector<std::string> Subkeys(Transvia::RegistryKey* root, const Processor::String& path)
{
    std::vector<std::string> names;
    if (auto key = root ? Transvia::OpenExistingKey(*root, path) : nullptr)
        key->EnumSubkeys([&](const Processor::String& name) { names.push_back(Processor::ToUtf8(name)); });
    return names;
}

}  // namespace TargetTest
