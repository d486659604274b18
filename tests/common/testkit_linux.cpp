// The Linux side of the test helpers: ports, folders and child processes.
#include "tests/common/testkit.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testkit {

std::uint16_t free_port()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

temp_dir::temp_dir()
{
    char pattern[] = "/tmp/relayhub-test-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    path = made ? made : "/tmp";
}

temp_dir::~temp_dir()
{
    if (path.rfind("/tmp/relayhub-test-", 0) == 0)
        run("rm -rf '" + path + "'");
}

int run(const std::string& command, std::string* output)
{
    std::FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p)
        return -1;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), p)) > 0)
        if (output)
            output->append(buffer, n);
    int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool child::spawn(const std::vector<std::string>& argv, const std::string& dir, const std::string& log)
{
    log_path = log;
    pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        if (!dir.empty() && ::chdir(dir.c_str()) != 0)
            ::_exit(126);
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        int null_fd = ::open("/dev/null", O_RDONLY);
        if (null_fd >= 0) {
            ::dup2(null_fd, 0);
            ::close(null_fd);
        }
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return true;
}

int child::wait_exit(std::chrono::milliseconds limit)
{
    if (pid <= 0)
        return -1;
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        int r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill_now();
    return -1;
}

void child::kill_now()
{
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
}


} // namespace testkit
