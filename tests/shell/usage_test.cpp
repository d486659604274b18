// The built program asked for help: the TLS library's version line, the
// configuration block, then the usage text, byte for byte, exit code 0, and
// no socket opened.

#include "tests/common/testkit.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string expected_output(const std::string& invocation, const std::string& port)
{
    const std::string hyphens(79, '-');
    return std::string(OpenSSL_version(OPENSSL_VERSION)) + "\n" +
           "invalid or missing certificate file\nrelayhub.pem\n\n"
           ":: config ::\n"
           "  print:1, print_once:0, listen:1, write:1, connections:32\n"
           "  verbose:1, quiet:0, packet_length_r:4096\n"
           "  so_type:1, so_protocol:6\n"
           "  addr_local  :" + port + "\n"
           "  addr_remote :0\n\n"
           ":: ------ ::\n"
           ":: WebSocket relay utility  -  relayhub, one port for raw TCP, TLS, WS and WSS\n" +
           hyphens + "\n"
           ":: Relay data between WebSocket, TCP and TLS clients.\n" +
           hyphens + "\n"
           ":: usage ::\n"
           "\t" + invocation + " <-p listen port>\n"
           "\t[-p listen port]\n"
           "\t[-c 1 to 32 connections]\n"
           "\t[-L 1472|1405|1422|65112|65507       packet length]\n"
           "\t[-b listen address, all by default]\n"
           "\t[-a allowed peers: a.b.c.d or a.b.c.d/n, comma-separated]\n"
           "\t[-o allowed browser Origins: https://host[:port], comma-separated]\n"
           "\t[-m most connections from one peer address]\n"
           "\t[-i idle seconds before a connection is closed]\n"
           "\n"
           ":: example ::\n"
           "\t" + invocation + "\n"
           "\t" + invocation + " -p 81\n"
           "\n"
           "\n";
}

} // namespace

TEST(Usage, HelpPrintsVersionBlockAndUsageExactlyAndExitsZero)
{
    const std::string bin = testkit::relayhub_bin();
    ASSERT_FALSE(bin.empty());
    testkit::temp_dir dir;
    struct {
        const char* args;
        const char* port;
    } cases[] = {{"-h", "81"}, {"--HELP", "81"}, {"-hp81", "81"}, {"-p 0", "0"}, {"-p 9000 --help", "9000"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        // Started directly, not through a shell, so the invocation name is
        // the path as given on both systems (a Windows program started from
        // a Linux shell under wine would see a drive path). Standard error
        // is in the log too, and stays empty.
        std::vector<std::string> argv{bin};
        std::istringstream words(c.args);
        for (std::string w; words >> w;)
            argv.push_back(w);
        testkit::child hub;
        ASSERT_TRUE(hub.spawn(argv, dir.path, dir.file("help.log")));
        EXPECT_EQ(hub.wait_exit(std::chrono::seconds(20)), 0);
        EXPECT_EQ(hub.output(), expected_output(bin, c.port));
    }
}

TEST(Usage, HelpOpensNoSocket)
{
#if defined(_WIN32)
    GTEST_SKIP() << "strace follows Linux processes; under wine it would trace wine itself";
#endif
    std::string probe;
    if (testkit::run("command -v strace", &probe) != 0)
        GTEST_SKIP() << "strace is not installed";
    testkit::temp_dir dir;
    std::string out;
    int code = testkit::run("cd '" + dir.path + "' && ASAN_OPTIONS=detect_leaks=0 strace -f -e trace=socket,bind,listen -o '" + dir.file("trace") +
                                "' '" + testkit::relayhub_bin() + "' -hp81 </dev/null >/dev/null 2>&1; cat '" + dir.file("trace") + "'",
                            &out);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out.find("socket(AF_INET"), std::string::npos) << out;
    EXPECT_EQ(out.find("bind("), std::string::npos) << out;
    EXPECT_NE(out.find("exited with 0"), std::string::npos) << out;
}
