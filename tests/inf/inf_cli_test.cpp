// The transvia program's inf commands, run as a user runs them.
#include <gtest/gtest.h>

#include "support/fixtures.h"

namespace {

std::string Program()
{
    return std::string(TRANSVIA_OUTPUT_DIR) + "/transvia";
}

class InfCli : public testing::Test {
protected:
    std::string Run(const std::string& arguments, int* status = nullptr)
    {
        std::string output;
        const int code = TestSupport::RunCommand(Program() + " " + arguments + " 2>/dev/null", &output);
        if (status != nullptr)
            *status = code;
        return output;
    }
    std::string Path(const std::string& name) { return "'" + (scratch.path() / name).string() + "'"; }
    TestSupport::ScratchDir scratch;
};

TEST_F(InfCli, ShowJsonInModelOrder)
{
    scratch.write("a.inf",
                  "[Version]\nSignature=\"$Windows NT$\"\nProvider=%P%\n[Strings]\nP=\"Me, Inc\"\n[AddReg]\nHKR,,x\n");
    int status = -1;
    EXPECT_EQ(Run("inf show --json " + Path("a.inf"), &status),
              "{\"sections\": ["
              "{\"name\": \"ADDREG\", \"entries\": [{\"key\": \"\", \"fields\": [\"HKR\", \"\", \"x\"]}]}, "
              "{\"name\": \"STRINGS\", \"entries\": [{\"key\": \"P\", \"fields\": [\"Me, Inc\"]}]}, "
              "{\"name\": \"VERSION\", \"entries\": [{\"key\": \"Signature\", \"fields\": [\"$Windows NT$\"]}, "
              "{\"key\": \"Provider\", \"fields\": [\"%P%\"]}]}]}\n");
    EXPECT_EQ(status, 0);

    const std::string expanded = Run("inf show --json --expand " + Path("a.inf"));
    EXPECT_NE(expanded.find("{\"key\": \"Provider\", \"fields\": [\"Me, Inc\"]}"), std::string::npos) << expanded;
}

TEST_F(InfCli, ShowErrorRecordAndStatus)
{
    scratch.write("bad.inf", "[A]\n  [B] x\n");
    int status = -1;
    EXPECT_EQ(Run("inf show --json " + Path("bad.inf"), &status), "{\"error\": {\"code\": 3, \"line\": 2, \"column\": 2}}\n");
    EXPECT_EQ(status, 2);
}

TEST_F(InfCli, HashCommentsFlag)
{
    scratch.write("t.oem", "[Disks]\n# d1 = x\n");
    EXPECT_NE(Run("inf show --json " + Path("t.oem")).find("# d1"), std::string::npos);
    EXPECT_EQ(Run("inf show --json --hash-comments " + Path("t.oem")),
              "{\"sections\": [{\"name\": \"DISKS\", \"entries\": []}]}\n");
}

TEST_F(InfCli, CheckReportsEachFile)
{
    scratch.write("good.inf", "[Version]\n");
    scratch.write("bad.inf", "[Version]\n=x\n");
    scratch.write("txtsetup.oem", "[Disks]\n# note \\\n[Defaults]\n");
    int status = -1;
    EXPECT_EQ(Run("inf check " + Path("good.inf") + " " + Path("txtsetup.oem"), &status),
              (scratch.path() / "good.inf").string() + ": ok\n" + (scratch.path() / "txtsetup.oem").string() + ": ok\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Run("inf check " + Path("bad.inf") + " " + Path("good.inf"), &status),
              (scratch.path() / "bad.inf").string() + ": entry with an empty key at line 2, column 0\n" +
                  (scratch.path() / "good.inf").string() + ": ok\n");
    EXPECT_NE(status, 0);
    Run("inf check " + Path("missing.inf"), &status);
    EXPECT_NE(status, 0);
}

}  // namespace
