#include "shell/q_config.h"

#include "shell/console.h"
#include "tls/q_tls.h"

#include <climits>

Q_CONFIG g_config_defaults;

namespace {

bool is_wide_space(char16_t c)
{
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

char16_t ascii_lower(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool equals_ignoring_case(const char16_t* text, const char* ascii)
{
    for (; *ascii; ++text, ++ascii)
        if (ascii_lower(*text) != static_cast<char16_t>(*ascii))
            return false;
    return *text == 0;
}

// What an option letter sets; the value is applied as the letter says.
void apply_option(Q_CONFIG& cfg, char16_t letter, const char16_t* value)
{
    std::int32_t v = wide_to_int(value);
    switch (letter) {
    case u'p':
        cfg.addr_local_port = static_cast<std::uint16_t>(v);
        break;
    case u'c':
        cfg.cw_connections = static_cast<std::uint16_t>(v);
        break;
    case u'L':
        cfg.packet_length_r = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
        break;
    default:
        break;
    }
}

bool takes_value(char16_t c)
{
    return c == u'p' || c == u'c' || c == u'L';
}

// Scans argv[1..]; returns the help request. An option letter without a
// value at the end of the line ends the scan.
bool scan_command_line(Q_CONFIG& cfg, int argc, char16_t** argv)
{
    bool help = false;
    for (int i = 1; i < argc; ++i) {
        const char16_t* arg = argv[i];
        if (!arg || arg[0] != u'-')
            continue;
        if (arg[1] == u'-' && equals_ignoring_case(arg + 2, "help")) {
            help = true;
            continue;
        }
        for (const char16_t* c = arg + 1; *c; ++c) {
            if (*c == u'h') {
                help = true;
                continue;
            }
            if (!takes_value(*c))
                continue;
            if (c[1] != 0) {
                apply_option(cfg, *c, c + 1);
            } else if (i + 1 < argc) {
                apply_option(cfg, *c, argv[++i]);
            } else {
                return help;
            }
            break;
        }
    }
    return help;
}

void settle_connection_count(Q_CONFIG& cfg)
{
    if (cfg.cw_connections == 0)
        cfg.cw_connections = cfg.listen ? Q_CONFIG::MAX_CONNECTIONS : 1;
    if (cfg.cw_connections > Q_CONFIG::MAX_CONNECTIONS) {
        cfg.cw_connections = Q_CONFIG::MAX_CONNECTIONS;
        out("!! Q_SOCKET::config()  number of connections reduced to: %u\n\n", Q_CONFIG::MAX_CONNECTIONS);
    }
}

} // namespace

std::int32_t wide_to_int(const char16_t* text)
{
    if (!text)
        return 0;
    while (is_wide_space(*text))
        ++text;
    bool negative = false;
    if (*text == u'+' || *text == u'-')
        negative = *text++ == u'-';
    std::int64_t value = 0;
    for (; *text >= u'0' && *text <= u'9'; ++text) {
        value = value * 10 + (*text - u'0');
        if (value > static_cast<std::int64_t>(INT_MAX) + 1)
            value = static_cast<std::int64_t>(INT_MAX) + 1;  // saturated; keeps the loop bounded
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<std::int32_t>(value);
}

int Q_CONFIG::config(int argc, char16_t** argv)
{
    *this = g_config_defaults;
    bool help = scan_command_line(*this, argc, argv);

    if (!g_tls.enabled.load(std::memory_order_relaxed))
        g_tls.create_ctx();
    (void)g_tls.load_cer(DEFAULT_PEM_FILE, DEFAULT_PEM_FILE);

    settle_connection_count(*this);
    if (print_once)
        print = 1;
    if (verbose)
        print_block();

    if (help)
        return -1;
    if (listen && addr_local_port != 0)
        return 0;
    if (addr_remote_ip[0] != 0 && addr_remote_port != 0)
        return 0;
    return -1;
}

void Q_CONFIG::print_block() const
{
    out(":: config ::\n");
    out("  print:%u, print_once:%u, listen:%u, write:%u, connections:%u\n",
        print, print_once, listen, write, cw_connections);
    out("  verbose:%u, quiet:%u, packet_length_r:%llu\n",
        verbose, log_connections == 0 ? 1u : 0u, static_cast<unsigned long long>(packet_length_r));
    out("  so_type:%u, so_protocol:%u\n", static_cast<unsigned>(cso_type), static_cast<unsigned>(cso_protocol));
    out("  addr_local  %s:%u\n", addr_local_ip, addr_local_port);
    out("  addr_remote %s:%u\n\n", addr_remote_ip, addr_remote_port);
    out(":: ------ ::\n");
}
