#include "inf/driver_sources.h"

#include <string>

#include "inf/architecture.h"
#include "inf/inf_model.h"
#include "support/errors.h"
#include "support/message_table.h"
#include "support/parse_number.h"
#include "support/text.h"
#include "support/trace.h"

namespace Transvia {

using Common::MessageTable::Get;
namespace Messages = Common::Messages;
namespace {

using Processor::String;

String Text(const char16_t* text) { return text == nullptr ? String() : String(text); }

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// A layout folder as a path below the package: "." and empty mean the folder itself, and
// separators around it are dropped so that "\amd64\" names the subfolder, not the root.
String LayoutFolder(Inf& inf, const char16_t* field)
{
    const String raw = Text(inf.ExpandString(field, nullptr));
    int32_t begin = 0;
    int32_t end = raw.length();
    while (begin < end && IsSeparator(raw.charAt(begin)))
        ++begin;
    while (end > begin && IsSeparator(raw.charAt(end - 1)))
        --end;
    String folder(raw, begin, end - begin);
    if (folder == String(u"."))
        return String();
    return folder;
}

// Sections in file order where the model can tell it, else in its own order.
Section* SectionInFileOrder(Inf& inf, int32_t index)
{
    if (auto* parser = dynamic_cast<InfParser*>(&inf))
        return parser->GetSectionInFileOrder(index);
    return inf.GetSection(index);
}

SectionEntry* FindLine(Section* section, const String& key)
{
    if (section == nullptr) return nullptr;
    String copy(key);
    return section->FindEntry(Processor::Terminated(copy));
}

Section* FindNamedSection(Inf& inf, const String& name)
{
    String copy(name);
    return inf.FindSection(Processor::Terminated(copy));
}

// The disk folder of `diskId`: the decorated "SourceDisksNames" first for a file found in a
// decorated section, then the undecorated one.
bool FindDiskFolder(Inf& inf, const String& architecture, const String& diskId, String& folder)
{
    SectionEntry* line = nullptr;
    if (!architecture.isEmpty())
        line = FindLine(FindNamedSection(inf, String(u"SourceDisksNames.") + architecture), diskId);
    if (line == nullptr)
        line = FindLine(inf.FindSection(u"SourceDisksNames"), diskId);
    if (line == nullptr)
        return false;
    folder = LayoutFolder(inf, line->GetField(3));
    return true;
}

// The architecture a layout section `name` holds files for: empty for the undecorated
// section, its decoration otherwise. False when the section does not count: another
// architecture's, or no layout section at all. Without an architecture (a package staged
// whole for Windows to install) the sections of every architecture count.
bool LayoutSection(const String& name, const String& architecture, String& decoration)
{
    static const String kUndecorated(u"SourceDisksFiles");
    decoration.remove();
    if (Processor::EqualNoCase(name, kUndecorated)) return true;
    const int32_t prefix = kUndecorated.length() + 1;
    if (name.length() <= prefix || name[prefix - 1] != u'.' ||
        !Processor::EqualNoCase(name.tempSubString(0, prefix - 1), kUndecorated))
        return false;
    if (architecture.isEmpty()) {
        // Section names are kept upper-cased; architectures are spelt as INF files spell them.
        decoration = name.tempSubString(prefix);
        decoration.toLower();
        return true;
    }
    decoration = architecture;
    return Processor::EqualNoCase(name.tempSubString(prefix), architecture);
}

// Every layout of `file` in `inf` for `architecture`, in the order of the sections.
std::vector<FileRecord> SourceLayouts(Inf& inf, const String& file, const String& architecture)
{
    std::vector<FileRecord> layouts;
    for (int32_t index = 0;; ++index) {
        Section* section = SectionInFileOrder(inf, index);
        if (section == nullptr) break;
        const String name(section->GetName());
        String decoration;
        if (!LayoutSection(name, architecture, decoration)) continue;
        SectionEntry* line = FindLine(section, file);
        if (line == nullptr) continue;
        if (line->GetFieldCount() == 0) {
            Common::Trace(4, Get(Messages::kSourcesLineWithoutFields), {file, name});
            Common::Raise(Common::Codes::kInvalidFormat, TV_HERE, file);
        }
        FileRecord record;
        record.name = file;
        record.architecture = decoration;
        const String diskId = Text(line->GetField(0));
        record.filePath = LayoutFolder(inf, line->GetField(1));
        const char16_t* size = line->GetField(2);
        uint64_t value = 0;
        if (size != nullptr && size[0] != u'\0' && Processor::ParseNumber(size, value))
            record.size = value;
        if (!FindDiskFolder(inf, record.architecture, diskId, record.diskPath))
            Common::Trace(3, Common::kTraceFacility, Common::Codes::kInvalidFormat,
                          Get(Messages::kSourcesDiskUnknown), {diskId, file});
        layouts.push_back(std::move(record));
    }
    if (layouts.empty()) {
        FileRecord record;
        record.name = file;
        layouts.push_back(std::move(record));
    }
    return layouts;
}

void AddName(std::vector<String>& names, const String& name)
{
    if (name.isEmpty()) return;
    for (const String& known : names)
        if (Processor::EqualNoCase(known, name)) return;
    names.push_back(name);
}

// The section `name` of an INF that `install`'s "Include" line names, or null.
Section* IncludedSection(Section& install, const String& name, InfCache& cache)
{
    SectionEntry* include = install.FindEntry(u"Include");
    for (uint32_t field = 0; include != nullptr && field < include->GetFieldCount(); ++field) {
        const char16_t* file = include->GetField(static_cast<int32_t>(field));
        Inf* included = file != nullptr && file[0] != u'\0' ? cache.OpenInf(file) : nullptr;
        if (Section* section = included != nullptr ? FindNamedSection(*included, name) : nullptr)
            return section;
    }
    return nullptr;
}

// The names of the files that the "CopyFiles" lines of `section` copy.
void CopiedFiles(Section& section, std::vector<String>& names, InfCache* includes)
{
    Inf& inf = *section.GetInf();
    const bool including = section.FindEntry(u"Include") != nullptr;
    for (uint32_t index = 0; index < section.GetEntryCount(); ++index) {
        SectionEntry* line = section.GetEntry(static_cast<int32_t>(index));
        if (line == nullptr || !Processor::EqualNoCase(std::u16string_view(line->GetKey()), u"CopyFiles"))
            continue;
        for (uint32_t field = 0; field < line->GetFieldCount(); ++field) {
            const String target = Text(line->GetField(static_cast<int32_t>(field)));
            if (target.isEmpty()) continue;
            // "@name" copies that one file without a file section.
            if (target.charAt(0) == u'@') {
                AddName(names, String(target, 1));
                continue;
            }
            Section* files = FindNamedSection(inf, target);
            if (files == nullptr && including && includes != nullptr)
                files = IncludedSection(section, target, *includes);
            if (files == nullptr) {
                // Without the INF folder to look in, a section of an included system INF
                // is taken to copy the target's own files, which are not in this package.
                if (including && includes == nullptr) {
                    Common::Trace(1, Get(Messages::kSourcesIncludedSection), {target});
                    continue;
                }
                Common::Trace(4, Get(Messages::kSourcesCopySectionMissing), {target});
                Common::Raise(Common::Codes::kSectionNotFound, TV_HERE, target);
            }
            for (uint32_t entry = 0; entry < files->GetEntryCount(); ++entry) {
                SectionEntry* file = files->GetEntry(static_cast<int32_t>(entry));
                if (file == nullptr) continue;
                const char16_t* source = file->GetField(1);
                AddName(names, Text(source != nullptr && source[0] != u'\0' ? source : file->GetField(0)));
            }
        }
    }
}

String CatalogName(Inf& inf, const char16_t* infFileName, uint32_t platform)
{
    if (Section* version = inf.FindSection(u"Version")) {
        const String decoration(InfPlatform::Decoration(platform));
        std::vector<String> keys;
        if (!decoration.isEmpty()) keys.push_back(String(u"CatalogFile.") + decoration);
        keys.push_back(String(u"CatalogFile.nt"));
        keys.push_back(String(u"CatalogFile"));
        for (const String& key : keys)
            if (SectionEntry* line = FindLine(version, key))
                return Text(line->GetField(0));
    }
    String name = Text(infFileName);
    if (name.isEmpty()) return name;
    const int32_t dot = name.lastIndexOf(u'.');
    if (dot >= 0) name.truncate(dot);
    return name + u".cat";
}

}  // namespace

bool FileRecord::SameAs(const FileRecord& other) const
{
    return size == other.size && flags == other.flags && Processor::EqualNoCase(name, other.name) &&
           Processor::EqualNoCase(architecture, other.architecture) &&
           Processor::EqualNoCase(diskPath, other.diskPath) && Processor::EqualNoCase(filePath, other.filePath);
}

const FileRecord* DriverSourcesImpl::Record(uint32_t index) const
{
    return index < records_.size() ? &records_[index] : nullptr;
}

bool DriverSourcesImpl::Contains(const FileRecord& record) const
{
    for (const FileRecord& known : records_)
        if (known.SameAs(record)) return true;
    return false;
}

bool DriverSourcesImpl::Add(FileRecord record)
{
    if (Contains(record)) return false;
    records_.push_back(std::move(record));
    return true;
}

void DriverSourcesImpl::Merge(const DriverSources& other)
{
    if (&other == this) return;
    for (uint32_t index = 0; index < other.Count(); ++index)
        if (const FileRecord* record = other.Record(index)) Add(*record);
}

std::unique_ptr<DriverSources> DriverSourcesImpl::Clone() const
{
    return std::make_unique<DriverSourcesImpl>(*this);
}

std::unique_ptr<DriverSources> CreateDriverSources(const std::shared_ptr<Common::i_dir>& folder, Inf* layoutInf,
                                                   Section* installSection, const char16_t* infFileName,
                                                   uint32_t platform, InfCache* includes)
{
    if (installSection == nullptr || folder == nullptr || installSection->GetInf() == nullptr) {
        Common::Trace(4, u"CreateDriverSources: Invalid arguments");
        return nullptr;
    }
    Inf& inf = *installSection->GetInf();
    auto sources = std::make_unique<DriverSourcesImpl>(platform);
    const String architecture(InfPlatform::ArchitectureText(platform));

    std::vector<String> files;
    CopiedFiles(*installSection, files, includes);
    const String coInstallers = String(installSection->GetName()) + u".CoInstallers";
    if (Section* section = FindNamedSection(inf, coInstallers))
        CopiedFiles(*section, files, includes);

    for (const String& file : files) {
        for (FileRecord& record : SourceLayouts(inf, file, architecture))
            sources->Add(std::move(record));
        // Layouts of the layout INF come after the INF's own; Add drops those already given.
        if (layoutInf != nullptr && layoutInf != &inf)
            for (FileRecord& record : SourceLayouts(*layoutInf, file, architecture))
                sources->Add(std::move(record));
    }

    if (infFileName != nullptr && infFileName[0] != u'\0') {
        FileRecord record;
        record.name = String(infFileName);
        record.flags = FileRecordFlags::kInfFile;
        sources->Add(std::move(record));
    }

    const String catalog = CatalogName(inf, infFileName, platform);
    const std::optional<Common::dir_entry> entry = catalog.isEmpty() ? std::nullopt : folder->stat(catalog);
    if (entry && !entry->is_dir) {
        FileRecord record;
        record.name = catalog;
        record.flags = FileRecordFlags::kCatalogFile;
        sources->Add(std::move(record));
    }
    return sources;
}

}  // namespace Transvia
