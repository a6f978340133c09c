#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "transvia/devices.h"
#include "transvia/dir.h"
#include "transvia/error.h"

// Each subcommand lives in a file of its own and registers itself here, so adding a
// command never touches main.cpp.
namespace TransviaCli {

using CommandSetup = std::function<void(CLI::App& app)>;

struct CommandRegistration {
    CommandRegistration(int order, CommandSetup setup);
};

void SetupCommands(CLI::App& app);

// Routes the engine's traces to stderr (the -v flag of every command).
void EnableVerboseTraces();
// Prints the engine's warnings (what it went on without) on stderr; for runs without -v.
void EnableWarnings();

// Commands end with a non-zero exit status by throwing CLI::RuntimeError(status).

// The devices of a hardware description file; a file that does not read ends the command
// with status 2 after naming the place of its fault.
Transvia::DeviceList ReadHardwareFile(const std::string& path);

// Opens a folder of this machine; one that cannot be opened ends the command with status 2
// after saying why.
std::shared_ptr<Common::rio_dir> OpenFolder(const std::string& path);

// Prints an error with its code in hex, its text and its cause chain to stderr.
void PrintError(const Common::Error& error);

}  // namespace TransviaCli
