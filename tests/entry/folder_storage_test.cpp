// The ready storage a host gets for a plain folder.
#include <gtest/gtest.h>

#include "support/fixtures.h"
#include "support/text.h"
#include "transvia/api.h"

namespace {

TEST(FolderStorageTest, OverAFolderItIsTheFolderAndReportsItsRealPath)
{
    TestSupport::ScratchDir scratch;
    scratch.write("drivers/disk/disk.inf", "[Version]\n");
    std::filesystem::create_directory_symlink(scratch.path() / "drivers", scratch.path() / "link");
    Common::Error error = Common::Error::Make(1, 1);
    auto storage = Transvia::CreateFolderStorage((scratch.path() / "link").string(), &error);
    ASSERT_NE(storage, nullptr);
    EXPECT_TRUE(error.empty()) << "a success clears the caller's error";
    EXPECT_FALSE(storage->IsRemovable() || storage->IsNetwork() || storage->IsReadOnly());
    EXPECT_EQ(Processor::ToUtf8(storage->DisplayPath()), (scratch.path() / "drivers").string());
    ASSERT_NE(storage->Location(), nullptr);
    EXPECT_NE(storage->Location()->open_file(u"Disk\\DISK.inf"), nullptr);
}

TEST(FolderStorageTest, AMissingFolderGivesNoStorageAndTheSystemsReason)
{
    TestSupport::ScratchDir scratch;
    Common::Error error;
    EXPECT_EQ(Transvia::CreateFolderStorage((scratch.path() / "absent").string(), &error), nullptr);
    EXPECT_EQ(error.code(), 0x80070002u);
    EXPECT_EQ(Transvia::CreateFolderStorage((scratch.path() / "absent").string()), nullptr);
}

}  // namespace
