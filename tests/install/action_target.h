#pragma once

#include <gtest/gtest.h>

#include "inf/inf.h"
#include "inf/memory_file.h"
#include "install/target_tree.h"
#include "registry/hive_readers.h"
#include "registry/windows_registry.h"

// A small target for the install actions: a SYSTEM hive with one control set (chosen by
// Select) and a SOFTWARE hive naming C:\Windows as the system root, as Windows 7 and later
// keep it (no SFC "ProgramFilesDir").
namespace ActionTest {

inline const char* const kScsiGuid = "{4D36E97B-E325-11CE-BFC1-08002BE10318}";

inline std::unique_ptr<Transvia::Inf> InfText(const std::string& text)
{
    Transvia::MemoryFile file(text);
    return Transvia::ParseInf(file, nullptr, nullptr, 0);
}

struct ActionTarget {
    TargetTest::TargetTree tree{"WINDOWS"};
    std::unique_ptr<Transvia::WindowsRegistry> registry;

    explicit ActionTarget(const std::string& system = "", const std::string& software = "")
    {
        tree.Hive("system", "[X\\Select]\n\"Current\"=dword:00000002\n[X\\ControlSet002\\Services]\n"
                            "[X\\ControlSet002\\Control\\Class]\n" + system);
        tree.Hive("software", "[X\\Microsoft\\Windows NT\\CurrentVersion]\n\"SystemRoot\"=\"C:\\\\Windows\"\n"
                              "[X\\Classes]\n" + software);
        Reopen();
    }

    // Flushes what was written and reads the hives anew.
    void Reopen()
    {
        registry.reset();
        registry = Transvia::CreateWindowsRegistry(tree.Windows());
    }
    Transvia::RegistryKey* Cs() { return registry->CurrentControlSet(); }

    // Both hives pass our checker and hivex reads them.
    void ExpectSoundHives()
    {
        registry.reset();
        for (const char* name : {"system", "software"}) {
            EXPECT_EQ(tree.Faults(name), std::vector<std::string>()) << name;
            HiveReaders::HivexTree keys;
            if (HiveReaders::HaveHivex()) {
                EXPECT_TRUE(HiveReaders::HivexKeys(tree.ConfigPath() / name, keys)) << name;
            }
        }
        Reopen();
    }
};

}  // namespace ActionTest
