// Shared test helpers: free ports, temporary folders, child processes with
// captured output, and certificates made by the openssl command.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

struct Q_EVENT;

namespace testkit {

// Polls `condition` every millisecond until it holds or `limit` has passed.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Threads inside a blocking wait on the event right now.
std::uint32_t blocked_waiters(Q_EVENT& event);

// A TCP port on 127.0.0.1 that was free a moment ago.
std::uint16_t free_port();

// A new empty folder under the system's temporary folder, removed by ~temp_dir.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// Runs a shell command; returns its exit status (or -1) and fills `output`
// with standard output and standard error together. Under wine the command
// still runs in the Linux shell, so the same commands serve both builds.
int run(const std::string& command, std::string* output = nullptr);

// A child process with standard output and error captured into a file.
struct child {
    int pid = -1;
    std::string log_path;
    // Windows: the process handle of a Windows program; for a Linux program
    // started from wine, the files its shell writes its pid and status to.
    void* process = nullptr;
    std::string pid_path;
    std::string status_path;
    // argv[0] is the program; `dir` is the working folder (empty: unchanged).
    bool spawn(const std::vector<std::string>& argv, const std::string& dir, const std::string& log);
    // What the child has written so far.
    std::string output() const;
    // Waits until `text` shows in the output or the time runs out.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds limit) const;
    // Waits for the exit; the exit code, or -1 on time-out (the child is then killed).
    int wait_exit(std::chrono::milliseconds limit);
    void kill_now();
    ~child();
};

// Writes a self-signed certificate and its key into one PEM file (RSA 2048 by
// default). `days` may be negative for an expired certificate.
bool make_pem(const std::string& path, int days = 30, const std::string& key_spec = "rsa:2048");
// Certificate and key from two different key pairs, concatenated.
bool make_mismatched_pem(const std::string& path);

// Path of the built relayhub: RELAYHUB_BIN, or the one this build made.
std::string relayhub_bin();
// The python the end-to-end tests use: RELAYHUB_PYTHON, or the one found at configure time.
std::string python();

} // namespace testkit
