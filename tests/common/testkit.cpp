#include "tests/common/testkit.h"

#include "support/q_event.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace testkit {

std::uint32_t blocked_waiters(Q_EVENT& event)
{
    return event.waiters();
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
