// Local driver storages: their own reference to the folder and the fixed answers.
#include <gtest/gtest.h>

#include "inf/driver_storage.h"
#include "support/fixtures.h"
#include "support/text.h"

namespace {

using namespace Transvia;

TEST(DriverStorageLocal, NullFolderGivesNoStorage)
{
    EXPECT_EQ(CreateLocalDriverStorage(nullptr), nullptr);
}

TEST(DriverStorageLocal, HoldsItsOwnFolderAndReportsItsPath)
{
    TestSupport::ScratchDir scratch;
    scratch.write("drivers/a.inf", "[Version]\n");
    std::shared_ptr<Common::rio_dir> folder = scratch.dir("drivers");
    ASSERT_NE(folder, nullptr);
    std::shared_ptr<DriverStorage> storage = CreateLocalDriverStorage(folder);
    ASSERT_NE(storage, nullptr);
    const Processor::String expected = folder->full_path();
    folder.reset();

    // The caller's object is gone; the storage's own reference still reaches the files.
    std::shared_ptr<Common::i_dir> location = storage->Location();
    ASSERT_NE(location, nullptr);
    EXPECT_TRUE(location->exists(u"A.INF"));
    EXPECT_EQ(storage->DisplayPath(), expected);
    EXPECT_FALSE(expected.isEmpty());

    EXPECT_FALSE(storage->IsRemovable());
    EXPECT_FALSE(storage->IsNetwork());
    EXPECT_FALSE(storage->IsReadOnly());
    EXPECT_TRUE(storage->VolumeLabel().isEmpty());
    EXPECT_TRUE(storage->Description().isEmpty());
}

TEST(DriverStorageLocal, DisplayPathIsKeptFromTheFirstRequest)
{
    TestSupport::ScratchDir scratch;
    scratch.write("first/x.inf", "");
    std::shared_ptr<DriverStorage> storage = CreateLocalDriverStorage(scratch.dir("first"));
    ASSERT_NE(storage, nullptr);
    const Processor::String before = storage->DisplayPath();
    // The folder moves; the storage keeps the path it first reported, as hosts show it.
    std::filesystem::rename(scratch.path() / "first", scratch.path() / "second");
    EXPECT_EQ(storage->DisplayPath(), before);
    EXPECT_NE(Processor::ToUtf8(before).find("first"), std::string::npos);
}

}  // namespace
