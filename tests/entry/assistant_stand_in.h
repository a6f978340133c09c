#pragma once

// A System-class INF for the assistant's pseudo-device that copies its program into
// System32: stands in for the shipped package where the build has not put one beside
// the library.
constexpr const char* kStandInAssistantInf =
    "[Version]\nSignature=\"$Windows NT$\"\nClass=System\nClassGUID={4d36e97d-e325-11ce-bfc1-08002be10318}\n"
    "Provider=Test\nDriverVer=01/01/2024,1.0\n[Manufacturer]\nTest=Models,NTamd64\n[Models.NTamd64]\n"
    "Assistant=Assistant_Install,DisableHWUI_ID\n[SourceDisksNames]\n1=Disk\n[SourceDisksFiles]\n"
    "transvia_assistant.exe=1\n[DestinationDirs]\nDefaultDestDir=11\n[Assistant_Install]\n"
    "CopyFiles=Assistant_Files\n[Assistant_Files]\ntransvia_assistant.exe\n";
constexpr const char* kStandInAssistantProgram = "placeholder, not a program\n";
