#include "tests/common/testkit.h"

#include "support/q_event.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testkit {

std::uint32_t blocked_waiters(Q_EVENT& event)
{
    return event.waiters();
}

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

std::string child::output() const
{
    std::ifstream in(log_path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool child::wait_for_output(const std::string& text, std::chrono::milliseconds limit) const
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (output().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return output().find(text) != std::string::npos;
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

child::~child() { kill_now(); }

bool make_pem(const std::string& path, int days, const std::string& key_spec)
{
    std::string dir = path + ".parts";
    std::string cmd = "mkdir -p '" + dir + "' && cd '" + dir + "' && ";
    if (days > 0) {
        cmd += "openssl req -x509 -newkey " + key_spec + " -nodes -keyout key.pem -out cert.pem -days " +
               std::to_string(days) + " -subj /CN=127.0.0.1 >/dev/null 2>&1";
    } else {
        // A validity that ended in the past. `openssl x509` of OpenSSL 3.0
        // cannot set dates, so a throw-away CA database signs the request
        // with itself and explicit start and end dates.
        cmd += "openssl req -new -newkey " + key_spec + " -nodes -keyout key.pem -out req.csr -subj /CN=127.0.0.1 >/dev/null 2>&1 && "
               "printf '[ca]\\ndefault_ca=hub\\n[hub]\\ndatabase=index.txt\\nnew_certs_dir=.\\nserial=serial\\n"
               "default_md=sha256\\npolicy=any\\n[any]\\ncommonName=supplied\\n' > ca.cnf && "
               ": > index.txt && echo 01 > serial && "
               "openssl ca -batch -config ca.cnf -selfsign -keyfile key.pem -in req.csr -out cert.pem -notext "
               "-startdate $(date -u -d '" + std::to_string(-days + 30) + " days ago' +%Y%m%d%H%M%SZ) "
               "-enddate $(date -u -d '" + std::to_string(-days) + " days ago' +%Y%m%d%H%M%SZ) >/dev/null 2>&1";
    }
    cmd += " && cat cert.pem key.pem > '" + path + "' && cd / && rm -rf '" + dir + "'";
    return run(cmd) == 0;
}

bool make_mismatched_pem(const std::string& path)
{
    std::string dir = path + ".parts";
    std::string cmd = "mkdir -p '" + dir + "' && cd '" + dir + "' && "
                      "openssl req -x509 -newkey rsa:2048 -nodes -keyout key1.pem -out cert1.pem -days 30 -subj /CN=a >/dev/null 2>&1 && "
                      "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out key2.pem >/dev/null 2>&1 && "
                      "cat cert1.pem key2.pem > '" + path + "' && cd / && rm -rf '" + dir + "'";
    return run(cmd) == 0;
}

std::string relayhub_bin()
{
    const char* p = std::getenv("RELAYHUB_BIN");
    return p && *p ? p : RELAYHUB_DEFAULT_BIN;
}

std::string python()
{
    const char* p = std::getenv("RELAYHUB_PYTHON");
    return p && *p ? p : RELAYHUB_DEFAULT_PYTHON;
}

} // namespace testkit
