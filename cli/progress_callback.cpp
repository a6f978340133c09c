#include "progress_callback.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "support/text.h"

namespace TransviaCli {

namespace {

// Set from the signal handler: only an atomic store of a sig_atomic_t happens there.
volatile sig_atomic_t g_interrupted = 0;
struct sigaction g_previous {};

void OnInterrupt(int) { g_interrupted = 1; }

constexpr int kBarWidth = 40;

}  // namespace

ConsoleCallback::ConsoleCallback(bool terminal, bool prompts) : terminal_(terminal), prompts_(prompts && terminal)
{
    g_interrupted = 0;
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    sigemptyset(&action.sa_mask);
    // A second Ctrl-C ends the program the usual way, for a run that does not get to ask.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, &g_previous);
}

ConsoleCallback::~ConsoleCallback()
{
    BreakLine();
    sigaction(SIGINT, &g_previous, nullptr);
}

void ConsoleCallback::ReportProgress(uint32_t position)
{
    if (position > 100) position = 100;
    if (static_cast<int64_t>(position) == lastPosition_) return;
    lastPosition_ = position;
    if (!terminal_) {
        std::printf("progress %u%%\n", position);
        std::fflush(stdout);
        return;
    }
    const int filled = static_cast<int>(position) * kBarWidth / 100;
    std::printf("\r[%s%s] %3u%%", std::string(filled, '#').c_str(), std::string(kBarWidth - filled, ' ').c_str(),
                position);
    std::fflush(stdout);
    barShown_ = true;
}

bool ConsoleCallback::IsCancelled() { return g_interrupted != 0; }

void ConsoleCallback::BreakLine()
{
    if (!barShown_) return;
    std::printf("\n");
    std::fflush(stdout);
    barShown_ = false;
    lastPosition_ = -1;  // the bar is drawn again on the next report
}

std::shared_ptr<Common::i_dir> ConsoleCallback::AskFolder(const std::string& question)
{
    if (!prompts_ || IsCancelled()) return nullptr;
    BreakLine();
    while (true) {
        std::printf("%s\nfolder (empty for none): ", question.c_str());
        std::fflush(stdout);
        std::string answer;
        if (!std::getline(std::cin, answer) || answer.empty() || IsCancelled()) return nullptr;
        Common::Error error;
        if (auto folder = Common::OpenLocalDirectory(answer, &error)) return folder;
        std::printf("cannot open %s\n", answer.c_str());
    }
}

void ConsoleCallback::LocateDeviceDrivers(std::shared_ptr<Common::i_dir>& location, const Transvia::DeviceIds& device)
{
    location = AskFolder("No driver found for " + (device.empty() ? std::string("?") : device.name()) + ".");
}

void ConsoleCallback::RequestSourceMedia(std::shared_ptr<Common::i_dir>& location, const Processor::String& manufacturer,
                                         const Processor::String& description)
{
    location = AskFolder("A file of the driver for " + Processor::ToUtf8(description) + " (" +
                         Processor::ToUtf8(manufacturer) + ") is missing; where is its source medium?");
}

void ConsoleCallback::ReportStorageUnavailable(Transvia::DriverStorage& storage)
{
    BreakLine();
    const std::string path = Processor::ToUtf8(storage.DisplayPath());
    std::printf("driver storage %s is not available\n", path.c_str());
    if (!prompts_) return;
    std::printf("attach it and press Enter (Ctrl-C stops): ");
    std::fflush(stdout);
    std::string answer;
    std::getline(std::cin, answer);
}

}  // namespace TransviaCli
