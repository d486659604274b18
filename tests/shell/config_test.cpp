// The command line: attached and separate values, help in any spelling,
// _wtoi conversion, low 16 bits, later options winning, the connection-count
// settlement, and the configuration block.

#include "shell/q_config.h"

#include <climits>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct parsed {
    int result;
    Q_CONFIG cfg;
    std::string output;
};

parsed parse(const std::vector<std::u16string>& args)
{
    std::vector<std::u16string> storage{u"relayhub"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char16_t*> argv;
    for (auto& a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    parsed p{};
    testing::internal::CaptureStdout();
    p.result = p.cfg.config(static_cast<int>(storage.size()), argv.data());
    p.output = testing::internal::GetCapturedStdout();
    return p;
}

constexpr std::uint64_t UNCHANGED = 0;  // no case sets the length to 0

struct command_line_case {
    const char* name;
    std::vector<std::u16string> args;
    int result;
    std::uint16_t port;
    std::uint16_t connections;
    std::uint64_t packet_length;  // UNCHANGED: the default 4096
    bool reduced;                 // the "reduced to" message is printed
};

const command_line_case command_line_cases[] = {
    {"defaults", {}, 0, 81, 32, UNCHANGED, false},
    {"attached port", {u"-p81"}, 0, 81, 32, UNCHANGED, false},
    {"separate port", {u"-p", u"8081"}, 0, 8081, 32, UNCHANGED, false},
    {"port zero refused", {u"-p", u"0"}, -1, 0, 32, UNCHANGED, false},
    {"port not a number", {u"-p", u"x"}, -1, 0, 32, UNCHANGED, false},
    {"value is the next argument whatever it is", {u"-p", u"-c", u"5"}, -1, 0, 32, UNCHANGED, false},
    {"port keeps its low 16 bits", {u"-p", u"65617"}, 0, 81, 32, UNCHANGED, false},
    {"leading blanks and a plus sign", {u"-p", u"  +90x"}, 0, 90, 32, UNCHANGED, false},
    {"help", {u"-h"}, -1, 81, 32, UNCHANGED, false},
    {"help in any case", {u"--HeLp"}, -1, 81, 32, UNCHANGED, false},
    {"help inside a group", {u"-hp81"}, -1, 81, 32, UNCHANGED, false},
    {"double hyphen other than help", {u"--p82"}, 0, 82, 32, UNCHANGED, false},
    {"count zero is all slots", {u"-c", u"0"}, 0, 81, 32, UNCHANGED, false},
    {"count above 32 is reduced", {u"-c", u"33"}, 0, 81, 32, UNCHANGED, true},
    {"negative count is reduced", {u"-c", u"-1"}, 0, 81, 32, UNCHANGED, true},
    {"count 32 plus 65536 is 32 quietly", {u"-c", u"65568"}, 0, 81, 32, UNCHANGED, false},
    {"later option wins", {u"-c5", u"-c", u"7"}, 0, 81, 7, UNCHANGED, false},
    {"packet length", {u"-L", u"1405"}, 0, 81, 32, 1405, false},
    {"negative packet length sign-extends", {u"-L", u"-1"}, 0, 81, 32, ~0ull, false},
    {"packet length saturates", {u"-L", u"99999999999"}, 0, 81, 32, INT_MAX, false},
    {"packet length saturates low", {u"-L", u"-99999999999"}, 0, 81, 32, static_cast<std::uint64_t>(std::int64_t{INT_MIN}), false},
    {"letters are case-sensitive", {u"-P81", u"-l", u"100", u"-C3", u"-H"}, 0, 81, 32, UNCHANGED, false},
    {"bare hyphen and non-options ignored", {u"-", u"word", u"-p", u"83"}, 0, 83, 32, UNCHANGED, false},
    {"option without value at the end", {u"-p83", u"-c"}, 0, 83, 32, UNCHANGED, false},
};

} // namespace

TEST(Config, CommandLineTable)
{
    for (const auto& c : command_line_cases) {
        SCOPED_TRACE(c.name);
        parsed p = parse(c.args);
        EXPECT_EQ(p.result, c.result);
        EXPECT_EQ(p.cfg.addr_local_port, c.port);
        EXPECT_EQ(p.cfg.cw_connections, c.connections);
        EXPECT_EQ(p.cfg.packet_length_r, c.packet_length == UNCHANGED ? 4096u : c.packet_length);
        const bool reduced = p.output.find("!! Q_SOCKET::config()  number of connections reduced to: 32\n\n") !=
                             std::string::npos;
        EXPECT_EQ(reduced, c.reduced) << p.output;
        // The block is printed whatever the result, help included.
        EXPECT_NE(p.output.find(":: config ::\n"), std::string::npos);
    }
}

TEST(Config, BlockWithDefaultsLineByLine)
{
    parsed p = parse({});
    const std::string block =
        ":: config ::\n"
        "  print:1, print_once:0, listen:1, write:1, connections:32\n"
        "  verbose:1, quiet:0, packet_length_r:4096\n"
        "  so_type:1, so_protocol:6\n"
        "  addr_local  :81\n"
        "  addr_remote :0\n\n"
        ":: ------ ::\n";
    ASSERT_GE(p.output.size(), block.size());
    EXPECT_EQ(p.output.substr(p.output.size() - block.size()), block);
    // The TLS library's version line comes first.
    EXPECT_EQ(p.output.rfind("OpenSSL ", 0), 0u) << p.output;
}

TEST(Config, BlockShowsTheRequestedPacketLengthAsUnsigned)
{
    parsed p = parse({u"-L", u"-1"});
    EXPECT_NE(p.output.find("packet_length_r:18446744073709551615\n"), std::string::npos) << p.output;
}

TEST(Config, ClientDefaultsSettleOneConnectionAndNeedARemoteAddress)
{
    Q_CONFIG saved = g_config_defaults;
    g_config_defaults.listen = 0;
    g_config_defaults.cw_connections = 0;
    parsed without_remote = parse({});
    EXPECT_EQ(without_remote.result, -1);
    EXPECT_EQ(without_remote.cfg.cw_connections, 1);
    g_config_defaults.addr_remote_port = 9000;
    std::snprintf(g_config_defaults.addr_remote_ip, sizeof(g_config_defaults.addr_remote_ip), "127.0.0.1");
    parsed with_remote = parse({});
    g_config_defaults = saved;
    EXPECT_EQ(with_remote.result, 0);
    EXPECT_NE(with_remote.output.find("  addr_remote 127.0.0.1:9000\n\n"), std::string::npos);
    EXPECT_NE(with_remote.output.find("listen:0"), std::string::npos);
}

TEST(Config, WideToIntFollowsTheRuntimeRules)
{
    struct {
        const char16_t* text;
        std::int32_t value;
    } cases[] = {
        {u"", 0}, {u"abc", 0}, {u"42", 42}, {u"\t\n 42", 42}, {u"-17x3", -17}, {u"+5", 5},
        {u"2147483647", INT_MAX}, {u"2147483648", INT_MAX}, {u"-2147483648", INT_MIN},
        {u"-2147483649", INT_MIN}, {u"99999999999999999999999", INT_MAX}, {u"- 5", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(wide_to_int(c.text), c.value);
}

// The access options take their values like the others (attached or
// separate, the later one winning); a text value they cannot take keeps the
// engine from running, with a line naming the option.
TEST(Config, AccessOptionsTable)
{
    struct {
        const char* name;
        std::vector<std::u16string> args;
        int result;
        const char* bind;  // addr_local_ip
        std::uint32_t allow_count;
        std::uint32_t origin_count;
        std::uint16_t per_address;
        std::uint32_t idle;
        const char* line;  // in the output, or null
    } cases[] = {
        {"defaults", {}, 0, "", 0, 0, 0, 0, nullptr},
        {"bind separate", {u"-b", u"127.0.0.2"}, 0, "127.0.0.2", 0, 0, 0, 0, "  addr_local  127.0.0.2:81\n"},
        {"bind attached", {u"-b127.0.0.3"}, 0, "127.0.0.3", 0, 0, 0, 0, nullptr},
        {"bind later wins", {u"-b", u"10.0.0.1", u"-b", u"127.0.0.1"}, 0, "127.0.0.1", 0, 0, 0, 0, nullptr},
        {"bind refused", {u"-b", u"localhost"}, -1, "", 0, 0, 0, 0, "!! Q_SOCKET::config()  -b takes one IPv4 address"},
        {"bad bind mended by a later one", {u"-b", u"1.2.3", u"-b", u"127.0.0.1"}, 0, "127.0.0.1", 0, 0, 0, 0, nullptr},
        {"allow list", {u"-a", u"127.0.0.2/32, 10.0.0.0/8"}, 0, "", 2, 0, 0, 0,
         "  allow:127.0.0.2/32, 10.0.0.0/8, origins:any, per_address:0, idle:0\n"},
        {"allow attached", {u"-a192.168.1.1"}, 0, "", 1, 0, 0, 0, nullptr},
        {"allow refused", {u"-a", u"127.0.0.1/33"}, -1, "", 0, 0, 0, 0, "!! Q_SOCKET::config()  -a takes"},
        {"allow empty entry refused", {u"-a", u"127.0.0.1,,10.0.0.1"}, -1, "", 0, 0, 0, 0, "-a takes"},
        {"origins", {u"-o", u"https://good.example,http://127.0.0.1:8080"}, 0, "", 0, 2, 0, 0,
         "origins:https://good.example,http://127.0.0.1:8080,"},
        {"origin with a blank inside refused", {u"-o", u"https://a b"}, -1, "", 0, 0, 0, 0, "-o takes"},
        {"origin not ASCII refused", {u"-o", u"https://b\u00fccher.example"}, -1, "", 0, 0, 0, 0, "-o takes"},
        {"per address", {u"-m", u"4"}, 0, "", 0, 0, 4, 0, "per_address:4, idle:0\n"},
        {"per address attached, later wins", {u"-m9", u"-m", u"2"}, 0, "", 0, 0, 2, 0, nullptr},
        {"per address negative is no limit", {u"-m", u"-3"}, 0, "", 0, 0, 0, 0, nullptr},
        {"idle", {u"-i", u"2"}, 0, "", 0, 0, 0, 2, "idle:2\n"},
        {"idle not a number is off", {u"-i", u"x"}, 0, "", 0, 0, 0, 0, nullptr},
        {"inside a group after help", {u"-hm3"}, -1, "", 0, 0, 3, 0, nullptr},
        {"value is the next argument whatever it is", {u"-a", u"-p", u"90"}, -1, "", 0, 0, 0, 0, "-a takes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        parsed p = parse(c.args);
        EXPECT_EQ(p.result, c.result) << p.output;
        EXPECT_STREQ(p.cfg.addr_local_ip, c.bind);
        EXPECT_EQ(p.cfg.access.allow_count, c.allow_count);
        EXPECT_EQ(p.cfg.access.origin_count, c.origin_count);
        EXPECT_EQ(p.cfg.access.per_address_max, c.per_address);
        EXPECT_EQ(p.cfg.access.idle_seconds, c.idle);
        if (c.line) {
            EXPECT_NE(p.output.find(c.line), std::string::npos) << p.output;
        }
        const bool any_access = c.allow_count || c.origin_count || c.per_address || c.idle;
        EXPECT_EQ(p.output.find("  allow:") != std::string::npos, any_access) << p.output;
    }
}
