#include "shell/q_config.h"

#include "shell/console.h"
#include "tls/q_tls.h"

#include <climits>
#include <cstring>

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

// Options whose value is text: a value the option cannot take is kept as
// refused until a later option of the same letter replaces it.
struct text_options {
    bool bad_bind = false;
    bool bad_allow = false;
    bool bad_origins = false;
};

// The value as narrow ASCII in `out` (size TEXT_SIZE); false when it holds
// anything else or does not fit.
bool to_ascii(const char16_t* value, char (&out)[Q_ACCESS::TEXT_SIZE])
{
    std::size_t n = 0;
    for (; value && value[n]; ++n) {
        if (n + 1 >= sizeof(out) || value[n] < 0x20 || value[n] > 0x7E)
            return false;
        out[n] = static_cast<char>(value[n]);
    }
    out[n] = 0;
    return true;
}

// -b: the dotted address is kept as given, for the bind line and the block.
bool set_bind_address(Q_CONFIG& cfg, const char16_t* value)
{
    char text[Q_ACCESS::TEXT_SIZE] = {};
    std::uint32_t address = 0;
    std::size_t length = 0;
    if (!to_ascii(value, text))
        return false;
    while (text[length])
        ++length;
    if (length >= sizeof(cfg.addr_local_ip) || !parse_ipv4(text, length, address))
        return false;
    std::memset(cfg.addr_local_ip, 0, sizeof(cfg.addr_local_ip));
    std::memcpy(cfg.addr_local_ip, text, length);
    return true;
}

bool set_access_list(Q_CONFIG& cfg, char16_t letter, const char16_t* value)
{
    char text[Q_ACCESS::TEXT_SIZE] = {};
    if (!to_ascii(value, text))
        return false;
    return (letter == u'a' ? cfg.access.set_allow(text) : cfg.access.set_origins(text)) == 0;
}

// What an option letter sets; the value is applied as the letter says.
void apply_option(Q_CONFIG& cfg, char16_t letter, const char16_t* value, text_options& text)
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
    case u'b':
        text.bad_bind = !set_bind_address(cfg, value);
        break;
    case u'a':
        text.bad_allow = !set_access_list(cfg, letter, value);
        break;
    case u'o':
        text.bad_origins = !set_access_list(cfg, letter, value);
        break;
    case u'm':
        // No limit for 0 or less; a limit above the slot count never bites.
        cfg.access.per_address_max = static_cast<std::uint16_t>(v <= 0 ? 0 : v > 0xFFFF ? 0xFFFF : v);
        break;
    case u'i':
        cfg.access.idle_seconds = static_cast<std::uint32_t>(v <= 0 ? 0 : v);
        break;
    default:
        break;
    }
}

bool takes_value(char16_t c)
{
    switch (c) {
    case u'p':
    case u'c':
    case u'L':
    case u'b':
    case u'a':
    case u'o':
    case u'm':
    case u'i':
        return true;
    default:
        return false;
    }
}

// Scans argv[1..]; returns the help request. An option letter without a
// value at the end of the line ends the scan.
bool scan_command_line(Q_CONFIG& cfg, int argc, char16_t** argv, text_options& text)
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
                apply_option(cfg, *c, c + 1, text);
            } else if (i + 1 < argc) {
                apply_option(cfg, *c, argv[++i], text);
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

// One line for each text option that kept a value it cannot take.
bool report_refused_values(const text_options& text)
{
    if (text.bad_bind)
        out("!! Q_SOCKET::config()  -b takes one IPv4 address, such as 127.0.0.1\n\n");
    if (text.bad_allow)
        out("!! Q_SOCKET::config()  -a takes IPv4 addresses and blocks separated by commas, "
            "such as 127.0.0.1,10.0.0.0/8\n\n");
    if (text.bad_origins)
        out("!! Q_SOCKET::config()  -o takes Origins separated by commas, such as https://example.com\n\n");
    return text.bad_bind || text.bad_allow || text.bad_origins;
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
    text_options text;
    bool help = scan_command_line(*this, argc, argv, text);

    if (!g_tls.enabled.load(std::memory_order_relaxed))
        g_tls.create_ctx();
    (void)g_tls.load_cer(DEFAULT_PEM_FILE, DEFAULT_PEM_FILE);

    settle_connection_count(*this);
    if (print_once)
        print = 1;
    if (verbose)
        print_block();
    const bool refused = report_refused_values(text);

    if (help || refused)
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
    // Shown only when one of them is set, so the block at the defaults is
    // unchanged.
    if (access.allow_count || access.origin_count || access.per_address_max || access.idle_seconds)
        out("  allow:%s, origins:%s, per_address:%u, idle:%u\n", access.allow_count ? access.allow_text : "any",
            access.origin_count ? access.origins : "any", access.per_address_max, access.idle_seconds);
    out("  addr_local  %s:%u\n", addr_local_ip, addr_local_port);
    out("  addr_remote %s:%u\n\n", addr_remote_ip, addr_remote_port);
    out(":: ------ ::\n");
}
