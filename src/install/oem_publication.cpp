#include "install/oem_publication.h"

#include "install/name_generator.h"
#include "install/safe_names.h"
#include "support/copy.h"
#include "support/errors.h"
#include "support/message_table.h"
#include "support/trace.h"

namespace Transvia {

using Common::MessageTable::Get;
using Common::MessageTable::Text;
namespace Messages = Common::Messages;

using Processor::String;

namespace {

void TraceFailure(const String& name, const Common::Error& cause)
{
    Common::TraceError(3, Common::MakeError(Common::Codes::kCopyFilesFailed, TV_HERE,
                                            Text(Messages::kPublishFailed, {name}),
                                            cause));
}

Common::Error Refused(const String& name)
{
    return Common::MakeError(Common::Codes::kCopyNameRefused, TV_HERE,
                             Text(Messages::kPlainNameRefused, {name}));
}

void PublishCatalog(const Common::i_dir& packageFolder, WinSources& sources, const String& name)
{
    Common::rio_dir* system32 = sources.GetSystem32Dir();
    std::shared_ptr<Common::rio_dir> catalogs = system32 ? system32->open_dir_rw(kCatalogFolder) : nullptr;
    if (!catalogs) {
        Common::Trace(1, Get(Messages::kPublishNoCatalogFolder), {name});
        return;
    }
    // A catalog of that name already there may be Windows' own, or another package's:
    // replacing it would take the signatures of its files away. The same bytes need no copy.
    if (catalogs->exists(name)) {
        std::vector<uint8_t> ours, theirs;
        Common::Error error;
        if (!Common::ReadWholeFile(packageFolder, name, ours, error) ||
            !Common::ReadWholeFile(*catalogs, name, theirs, error)) {
            TraceFailure(name, error);
        } else if (ours != theirs) {
            Common::Trace(3, Get(Messages::kPublishCatalogTaken), {name, catalogs->full_path()});
        }
        return;
    }
    Common::Error error = Common::CopyFile(packageFolder, name, *catalogs, name);
    if (!error.empty()) TraceFailure(name, error);
}

void PublishInf(const Common::i_dir& packageFolder, Common::rio_dir& infFolder, const String& name, String& published)
{
    Common::Error error = CreateOemInfNameGenerator(infFolder)->Generate(name, published);
    if (error.empty()) error = Common::CopyFile(packageFolder, name, infFolder, published);
    if (!error.empty()) {
        TraceFailure(name, error);
        published.remove();
    } else
        Common::Trace(2, Get(Messages::kPublished), {name, published});
}

}  // namespace

void PublishDriverFiles(const Common::i_dir& packageFolder, WinSources& sources, const DriverSources& files,
                        String* publishedInf)
{
    String ignored;
    String& published = publishedInf ? *publishedInf : ignored;
    published.remove();
    Common::rio_dir* infFolder = sources.GetInfDir(true);
    const bool inTarget = infFolder != nullptr && infFolder->compare(packageFolder) == 0;
    for (uint32_t i = 0; i < files.Count(); ++i) {
        const FileRecord* record = files.Record(i);
        if (record == nullptr) break;
        const bool inf = record->flags & FileRecordFlags::kInfFile;
        const bool catalog = record->flags & FileRecordFlags::kCatalogFile;
        if (!inf && !catalog) continue;
        if (inTarget) {
            if (inf && published.isEmpty()) published = record->name;
            continue;
        }
        if (!IsPlainFileName(record->name)) {
            TraceFailure(record->name, Refused(record->name));
            continue;
        }
        if (catalog) PublishCatalog(packageFolder, sources, record->name);
        if (!inf) continue;
        if (infFolder == nullptr) {
            TraceFailure(record->name, Common::MakeError(Common::Codes::kCopyFilesFailed, TV_HERE,
                                                         Get(Messages::kPublishNoInfFolder)));
            continue;
        }
        String name;
        PublishInf(packageFolder, *infFolder, record->name, name);
        if (published.isEmpty()) published = name;
    }
}

}  // namespace Transvia
