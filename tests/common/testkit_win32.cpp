// The Windows side of the test helpers, for test programs that run under
// wine. Folders are made under /tmp, a path that names the same folder for
// the program (drive Z: is the Linux root) and for the Linux commands it
// runs. A Linux program started from wine is not a Windows process that can
// be waited for, and its output does not reach Windows pipes: it runs from a
// small shell script that writes its output, its pid and its exit status to
// files, which the helpers read.
#include "tests/common/testkit.h"

#include <winsock2.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <windows.h>

namespace testkit {

namespace {

constexpr auto COMMAND_LIMIT = std::chrono::seconds(120);

std::wstring wide(const std::string& s)
{
    std::wstring w;
    for (unsigned char c : s)
        w.push_back(static_cast<wchar_t>(c));
    return w;
}

std::string unique_name(const char* prefix)
{
    static std::atomic<unsigned> counter{0};
    return std::string(prefix) + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()) + "-" +
           std::to_string(counter.fetch_add(1));
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Single quotes for the Linux shell.
std::string sh_quoted(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

// Starts /bin/sh on a script file; the shell is not waited for.
bool start_linux_script(const std::string& script_path)
{
    std::wstring command = L"/bin/sh " + wide(script_path);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    if (pi.hThread)
        CloseHandle(pi.hThread);
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
    return true;
}

// The status the script wrote last, or -1 while there is none.
int read_status(const std::string& path)
{
    std::ifstream in(path);
    int status = -1;
    if (in >> status)
        return status;
    return -1;
}

int wait_status(const std::string& path, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const int status = read_status(path);
        if (status >= 0)
            return status;
        if (std::chrono::steady_clock::now() >= end)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

struct script_files {
    std::string base;
    std::string script() const { return base + ".sh"; }
    std::string output() const { return base + ".out"; }
    std::string status() const { return base + ".status"; }
    std::string pid() const { return base + ".pid"; }
    void remove() const
    {
        std::error_code ignored;
        for (const std::string& p : {script(), output(), status(), pid(), status() + ".part"})
            std::filesystem::remove(p, ignored);
    }
};

// The status is written to a side file and renamed, so it is read whole.
std::string status_lines(const script_files& f, const std::string& code)
{
    return "echo " + code + " > " + sh_quoted(f.status() + ".part") + "\nmv " + sh_quoted(f.status() + ".part") + " " +
           sh_quoted(f.status()) + "\n";
}

bool write_file(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

struct winsock_started {
    winsock_started()
    {
        WSADATA data{};
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};

// Sockets work only after WSAStartup: every test program starts it first.
const winsock_started g_winsock;

} // namespace

namespace {

// The files of a Linux child that has ended: its script, pid and status.
void forget_linux_child(child& c)
{
    const std::string suffix = ".status";
    if (c.status_path.size() > suffix.size()) {
        script_files f{c.status_path.substr(0, c.status_path.size() - suffix.size())};
        f.remove();
    }
    c.status_path.clear();
    c.pid_path.clear();
    c.pid = -1;
}

} // namespace

std::uint16_t free_port()
{
    SOCKET so = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(so, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    int len = sizeof(addr);
    ::getsockname(so, reinterpret_cast<sockaddr*>(&addr), &len);
    ::closesocket(so);
    return ntohs(addr.sin_port);
}

temp_dir::temp_dir()
{
    path = "/tmp/" + unique_name("relayhub-test-");
    std::error_code e;
    if (!std::filesystem::create_directories(path, e))
        path = "/tmp";
}

temp_dir::~temp_dir()
{
    if (path.rfind("/tmp/relayhub-test-", 0) == 0) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
}

int run(const std::string& command, std::string* output)
{
    script_files f{"/tmp/" + unique_name("relayhub-run-")};
    const std::string script = "( " + command + "\n) > " + sh_quoted(f.output()) + " 2>&1 < /dev/null\n" +
                               status_lines(f, "$?");
    if (!write_file(f.script(), script) || !start_linux_script(f.script())) {
        f.remove();
        return -1;
    }
    const int status = wait_status(f.status(), COMMAND_LIMIT);
    if (output)
        output->append(read_file(f.output()));
    f.remove();
    return status;
}

bool child::spawn(const std::vector<std::string>& argv, const std::string& dir, const std::string& log)
{
    if (argv.empty())
        return false;
    log_path = log;
    const std::string& program = argv[0];
    const bool windows_program = program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
    if (!windows_program) {
        script_files f{"/tmp/" + unique_name("relayhub-child-")};
        std::string line;
        for (const std::string& a : argv)
            line += sh_quoted(a) + " ";
        std::string script;
        if (!dir.empty())
            script += "cd " + sh_quoted(dir) + " || exit 126\n";
        script += line + "> " + sh_quoted(log) + " 2>&1 < /dev/null &\necho $! > " + sh_quoted(f.pid()) + "\nwait $!\n" +
                  status_lines(f, "$?");
        if (!write_file(f.script(), script) || !start_linux_script(f.script()))
            return false;
        pid_path = f.pid();
        status_path = f.status();
        pid = 0;
        return true;
    }

    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE out = CreateFileW(wide(log).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    std::wstring command;
    for (const std::string& a : argv)
        command += L"\"" + wide(a) + L"\" ";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = out;
    PROCESS_INFORMATION pi{};
    const std::wstring cwd = wide(dir);
    const BOOL ok = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                   dir.empty() ? nullptr : cwd.c_str(), &si, &pi);
    if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
    if (in != INVALID_HANDLE_VALUE)
        CloseHandle(in);
    if (!ok)
        return false;
    CloseHandle(pi.hThread);
    process = pi.hProcess;
    pid = static_cast<int>(pi.dwProcessId);
    return true;
}

int child::wait_exit(std::chrono::milliseconds limit)
{
    if (process) {
        const DWORD ms = static_cast<DWORD>(limit.count());
        if (WaitForSingleObject(static_cast<HANDLE>(process), ms) != WAIT_OBJECT_0) {
            kill_now();
            return -1;
        }
        DWORD code = 0;
        GetExitCodeProcess(static_cast<HANDLE>(process), &code);
        CloseHandle(static_cast<HANDLE>(process));
        process = nullptr;
        pid = -1;
        return static_cast<int>(code);
    }
    if (status_path.empty())
        return -1;
    const int status = wait_status(status_path, limit);
    if (status < 0) {
        kill_now();
        return -1;
    }
    forget_linux_child(*this);
    return status;
}

void child::kill_now()
{
    if (process) {
        TerminateProcess(static_cast<HANDLE>(process), 1);
        WaitForSingleObject(static_cast<HANDLE>(process), 5000);
        CloseHandle(static_cast<HANDLE>(process));
        process = nullptr;
        pid = -1;
        return;
    }
    if (status_path.empty())
        return;
    run("kill -9 $(cat " + sh_quoted(pid_path) + ") 2>/dev/null; true");
    wait_status(status_path, std::chrono::seconds(5));
    forget_linux_child(*this);
}

} // namespace testkit
