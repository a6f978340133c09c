// A target prepared by an attacker: hard links, special files, mount points, names that
// differ in letter case or are no UTF-8, and what killed runs leave behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <set>

#include "support/copy.h"
#include "support/fixtures.h"
#include "support/local_dir.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace {

using Processor::String;
using TestSupport::ReadAll;

std::string Text(const Common::Error& error) { return Processor::ToUtf8(String(error.text())); }

class HostileTargetTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        Common::ForceComponentWalk(GetParam());
        scratch.write("Windows/System32/config/SYSTEM", "hive");
        scratch.write("outside.txt", "secret");
        root = scratch.dir("Windows");
    }
    void TearDown() override { Common::ForceComponentWalk(false); }
    std::filesystem::path at(const std::string& relative) const { return scratch.path() / relative; }

    TestSupport::ScratchDir scratch;
    std::shared_ptr<Common::rio_dir> root;
};

TEST_P(HostileTargetTest, AFileWithAnotherNameIsNeverWrittenInPlace)
{
    ASSERT_EQ(::link(at("outside.txt").c_str(), at("Windows/System32/config/SOFTWARE").c_str()), 0);
    EXPECT_FALSE(root->open_file_rw(u"system32\\config\\software"));
    EXPECT_NE(Text(root->last_error()).find("software' in"), std::string::npos) << Text(root->last_error());
    EXPECT_NE(Text(root->last_error()).find("hard links"), std::string::npos);
    auto reading = root->open_file(u"system32\\config\\software");
    ASSERT_TRUE(reading);
    EXPECT_EQ(ReadAll(*reading), "secret");

    // Creating and replacing give the name a file of its own.
    auto created = root->create_file(u"system32\\config\\software");
    ASSERT_TRUE(created) << Text(root->last_error());
    created->write("new", 3);
    created->close();
    EXPECT_EQ(scratch.read("outside.txt"), "secret");
    EXPECT_EQ(scratch.read("Windows/System32/config/SOFTWARE"), "new");
    ASSERT_EQ(::link(at("outside.txt").c_str(), at("Windows/System32/config/SAM").c_str()), 0);
    ASSERT_TRUE(Common::ReplaceFile(*root, u"System32\\config\\SAM", "sam", 3).empty());
    EXPECT_EQ(scratch.read("outside.txt"), "secret");
    EXPECT_EQ(scratch.read("Windows/System32/config/SAM"), "sam");
}

TEST_P(HostileTargetTest, SpecialFilesAreRefusedWithoutBeingOpened)
{
    ASSERT_EQ(::mkfifo(at("Windows/System32/config/SOFTWARE").c_str(), 0600), 0);
    // A character device with the numbers of /dev/null: harmless if it is opened after all.
    const bool device = ::mknod(at("Windows/System32/config/SECURITY").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, at("Windows/System32/config/SAM").c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    // Every open of a file, whatever its kind, is an IN_OPEN event; an O_PATH open is not.
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, at("Windows/System32/config").c_str(), IN_OPEN), 0);
    std::vector<const char16_t*> names{u"system32\\config\\software", u"system32\\config\\sam"};
    if (device) names.push_back(u"system32\\config\\security");
    for (const char16_t* name : names) {
        const std::string shown = Processor::ToUtf8(String(name));
        EXPECT_FALSE(root->open_file(name)) << shown;
        EXPECT_NE(Text(root->last_error()).find("not a regular file"), std::string::npos) << shown;
        EXPECT_FALSE(root->open_file_rw(name)) << shown;
        EXPECT_FALSE(root->create_file(name)) << shown;
    }
    char events[4096];
    const ssize_t got = ::read(watch, events, sizeof events);
    std::set<std::string> opened;
    for (ssize_t at = 0; got > 0 && at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        if (event->len > 0) opened.insert(event->name);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    EXPECT_EQ(opened, std::set<std::string>{}) << "opened: " << *opened.begin();
    ::close(watch);
    ::close(sock);
    if (!device) GTEST_SKIP() << "no device node can be made here; FIFO and socket were checked";
}

// Runs `body` in a child process with its own user and mount namespaces; its exit code
// is returned, 77 when the kernel does not allow such namespaces.
int InOwnNamespaces(const std::function<int()>& body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        const uid_t uid = ::geteuid();
        const gid_t gid = ::getegid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) ::_exit(77);
        std::ofstream("/proc/self/setgroups") << "deny";
        std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
        std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(77);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

TEST_P(HostileTargetTest, MountPointsInsideTheTargetAreNotCrossed)
{
    std::filesystem::create_directories(at("Windows/tmpfs"));
    std::filesystem::create_directories(at("Windows/bind"));
    std::filesystem::create_directories(at("elsewhere"));
    scratch.write("elsewhere/SOFTWARE", "other");
    const bool walk = GetParam();
    const int result = InOwnNamespaces([&]() {
        if (::mount("none", at("Windows/tmpfs").c_str(), "tmpfs", 0, nullptr) != 0 ||
            ::mount(at("elsewhere").c_str(), at("Windows/bind").c_str(), nullptr, MS_BIND, nullptr) != 0)
            return 77;
        scratch.write("Windows/tmpfs/SOFTWARE", "tmpfs");
        // A descriptor opened before the mounts would still see the old tree.
        auto root = scratch.dir("Windows");
        int faults = 0;
        if (root->open_file(u"tmpfs\\software") || root->open_dir(u"TMPFS") || root->exists(u"tmpfs\\software")) faults |= 1;
        if (Text(root->last_error()).find("file system") == std::string::npos) faults |= 2;
        // A bind mount of the same file system has no device of its own: only openat2 sees it.
        if (!walk && root->open_file(u"bind\\software")) faults |= 4;
        if (!root->open_file(u"system32\\config\\system")) faults |= 8;
        return faults;
    });
    if (result == 77) GTEST_SKIP() << "the kernel allows no mount in an unprivileged user namespace here";
    EXPECT_EQ(result, 0) << "1: tmpfs crossed, 2: no clear error, 4: bind mount crossed, 8: plain file refused";
}

TEST_P(HostileTargetTest, NamesThatAreNoUtf8StayApart)
{
    scratch.write("Windows/drv\xff.sys", "ff");
    scratch.write("Windows/drv\xfe.sys", "fe");
    scratch.write("package/keep.txt", "x");
    auto package = scratch.dir("package");
    std::vector<String> names;
    Common::dir_entry entry;
    for (auto it = root->entries(); it->next(entry);)
        if (!entry.is_dir) names.push_back(entry.name);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_NE(names[0], names[1]);
    for (const String& name : names) ASSERT_TRUE(Common::CopyFile(*root, name, *package, name).empty());
    EXPECT_EQ(scratch.read("package/drv\xff.sys"), "ff");
    EXPECT_EQ(scratch.read("package/drv\xfe.sys"), "fe");
    // A text that no byte string stands for is refused, never bent to another name.
    for (const String& bad : {String(u"drv\xD800.sys"), String(u"drv\xDCC3\xDCA9.sys")}) {
        EXPECT_FALSE(root->create_file(bad));
        EXPECT_NE(Text(root->last_error()).find("no file name"), std::string::npos) << Text(root->last_error());
    }
}

INSTANTIATE_TEST_SUITE_P(Resolution, HostileTargetTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ComponentWalk" : "Openat2"; });

TEST(FileNameTest, EveryByteStringComesBackAndNoTwoMeetInOneText)
{
    const std::vector<std::string> samples{
        "plain", "caf\xc3\xa9", "\xf0\x9f\x98\x80", "\xff", "\xc3", "\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80",
        "\xe2\x82", "\xe2\x82\xac", "a\x80z", "\xc3\xc3\xa9",
    };
    std::set<String> texts;
    for (const std::string& bytes : samples) {
        const String text = Processor::FromFileName(bytes);
        std::string back;
        ASSERT_TRUE(Processor::ToFileName(text, back)) << bytes;
        EXPECT_EQ(back, bytes);
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), samples.size());
    EXPECT_EQ(Processor::FromFileName("caf\xc3\xa9"), String(u"caf\u00e9"));
}

TEST(ScratchTest, LeftoversOfDeadRunsAreRemovedOthersKept)
{
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    const std::string deadPid = std::to_string(dead);

    TestSupport::ScratchDir scratch;
    const std::vector<std::string> removed{".SYSTEM.transvia-0123456789abcdef", ".SYSTEM.transvia-" + deadPid + "-0123456789abcdef"};
    const std::vector<std::string> kept{".SYSTEM.transvia-1-0123456789abcdef",            // its process lives
                                        ".SOFTWARE.transvia-" + deadPid + "-fedcba9876543210",  // too young
                                        ".SYSTEM.transvia-backup", "SYSTEM.transvia-0123456789abcdef"};
    const timespec twoHoursAgo{::time(nullptr) - 7200, 0};
    const timespec times[2] = {twoHoursAgo, twoHoursAgo};
    for (const std::string& name : removed) {
        scratch.write("config/" + name, "part");
        ::utimensat(AT_FDCWD, (scratch.path() / "config" / name).c_str(), times, 0);
    }
    for (const std::string& name : kept) {
        scratch.write("config/" + name, "part");
        if (name.find("SOFTWARE") == std::string::npos)
            ::utimensat(AT_FDCWD, (scratch.path() / "config" / name).c_str(), times, 0);
    }
    // Scratch folders: one abandoned, one whose working copy was written a moment ago.
    for (const std::string& name : {"transvia-" + deadPid + "-0123456789abcdef", "transvia-" + deadPid + "-1111111111111111"}) {
        const bool fresh = name.back() == '1';
        scratch.write("tmp/" + name + "/COPY", "copy");
        if (!fresh) ::utimensat(AT_FDCWD, (scratch.path() / "tmp" / name / "COPY").c_str(), times, 0);
        ::utimensat(AT_FDCWD, (scratch.path() / "tmp" / name).c_str(), times, 0);
    }

    ASSERT_TRUE(Common::ReplaceFile(*scratch.dir(), u"config\\SYSTEM", "hive", 4).empty());
    for (const std::string& name : removed) EXPECT_FALSE(std::filesystem::exists(scratch.path() / "config" / name)) << name;
    for (const std::string& name : kept) EXPECT_TRUE(std::filesystem::exists(scratch.path() / "config" / name)) << name;

    Common::TempDir::SetBase(scratch.dir("tmp"));
    Common::Error error;
    auto temp = Common::TempDir::Get(error);
    ASSERT_TRUE(temp);
    EXPECT_TRUE(std::regex_match(Processor::ToUtf8(temp->full_path()), std::regex(".*/transvia-[0-9]+-[0-9a-f]{16}")));
    EXPECT_FALSE(std::filesystem::exists(scratch.path() / "tmp" / ("transvia-" + deadPid + "-0123456789abcdef")));
    EXPECT_TRUE(std::filesystem::exists(scratch.path() / "tmp" / ("transvia-" + deadPid + "-1111111111111111")));
    temp.reset();
    Common::TempDir::SetBase(nullptr);
}

}  // namespace
