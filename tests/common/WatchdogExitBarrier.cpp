// Linked into every test program. QtTest's watchdog thread ("QtTest Watchdog") drops the last
// reference to its Qt thread data on its own way out, which may still be under way when main
// has returned. When the leak check at exit wins that race, it reports the thread data (152
// bytes made in QThread's constructor) as lost. Waiting for that one thread to be gone, during
// the program's own static destruction and so before the check, closes the race without hiding
// any other allocation from the checker.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

bool watchdogRunning() {
    std::error_code ec;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && name == "QtTest Watchdog")
            return true;
    }
    return false;
}

struct WatchdogExitBarrier {
    ~WatchdogExitBarrier() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (watchdogRunning() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
} barrier;

} // namespace
