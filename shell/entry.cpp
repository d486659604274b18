#include "shell/entry.h"

#include "relay/orderly_stop.h"
#include "relay/q_socket.h"
#include "shell/console.h"
#include "support/process.h"
#include "support/signals.h"
#include "support/sockets.h"
#include "support/utf16.h"
#include "tls/q_tls.h"

#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

const char* const HYPHEN_LINE = "-------------------------------------------------------------------------------\n";

void print_usage(const char* invocation)
{
    out(":: WebSocket relay utility  -  relayhub, one port for raw TCP, TLS, WS and WSS\n");
    out("%s", HYPHEN_LINE);
    out(":: Relay data between WebSocket, TCP and TLS clients.\n");
    out("%s", HYPHEN_LINE);
    out(":: usage ::\n");
    out("\t%s <-p listen port>\n", invocation);
    out("\t[-p listen port]\n");
    out("\t[-c 1 to %u connections]\n", Q_CONFIG::MAX_CONNECTIONS);
    out("\t[-L 1472|1405|1422|65112|65507       packet length]\n");
    out("\t[-b listen address, all by default]\n");
    out("\t[-a allowed peers: a.b.c.d or a.b.c.d/n, comma-separated]\n");
    out("\t[-o allowed browser Origins: https://host[:port], comma-separated]\n");
    out("\t[-m most connections from one peer address]\n");
    out("\t[-i idle seconds before a connection is closed]\n");
    out("\n");
    out(":: example ::\n");
    out("\t%s\n", invocation);
    out("\t%s -p 81\n", invocation);
    out("\n");
    out("\n");
}

// Under a debugger the console stays open until ENTER is pressed.
bool debugger_pause()
{
    if (!is_debugger_present())
        return false;
    err("\r\n[finished] Press ENTER to exit . . .");
    (void)read_console_char();
    return true;
}

bool start_sockets()
{
    WSADATA wsa_data{};
    int rc = WSAStartup(WINSOCK_VERSION_2_2, &wsa_data);
    if (rc != 0) {
        report_error(static_cast<std::uint32_t>(rc), "WSAStartup(wsa_version_requested, &wsa_data)");
        return false;
    }
    if (wsa_data.wVersion != WINSOCK_VERSION_2_2) {
        out("Version 2.2 of Winsock is required, but not available!\r\n");
        WSACleanup();
        return false;
    }
    return true;
}

std::string invocation_name(int argc, char16_t** argv)
{
    if (argc < 1 || !argv || !argv[0])
        return std::string();
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[UTF8_OUT_SIZE]);
    if (!buffer)
        return std::string();
    utf16_to_utf8(buffer.get(), argv[0]);
    return std::string(buffer.get());
}

// Runs on the signal thread, one signal at a time. The first stop signal
// starts the orderly stop; a second one ends the process at once.
void on_signal(q_signal which, void*)
{
    if (which == q_signal::reload) {
        (void)g_tls.reload_cer();
        return;
    }
    switch (g_stop.request(signal_name(which))) {
    case Q_STOP::answer::stopping:
        return;
    case Q_STOP::answer::repeated:
        out("\n:: %s again: ending at once\n", signal_name(which));
        exit_process(1);
    case Q_STOP::answer::no_run:
        // Nothing is served: the process ends as it would without the hub's
        // own handling.
        exit_process(0);
    }
}

enum class run_outcome { not_started, setup_failed, served };

// The run's last line: why it ended.
void print_run_end(run_outcome outcome, bool listen)
{
    if (const char* signal = g_stop.stopped_by())
        out(":: run ended: %s, every connection closed\n", signal);
    else if (outcome == run_outcome::not_started)
        out(":: run ended: the socket library did not start\n");
    else if (outcome == run_outcome::setup_failed)
        out(listen ? ":: run ended: the listening socket could not be set up\n"
                   : ":: run ended: the client sockets could not be set up\n");
    else
        out(listen ? ":: run ended: accept failed on the listening socket\n"
                   : ":: run ended: every client connection is over\n");
}

// The signal thread starts once the certificate has been read the first time,
// so a reload never runs alongside that first read.
void take_signals()
{
    int rc = start_signal_thread(on_signal, nullptr);
    if (rc != 0)
        report_error(static_cast<std::uint32_t>(rc), "start_signal_thread(on_signal, nullptr)");
}

} // namespace

int relay_main(int argc, char16_t** argv)
{
    raise_process_priority();
    // Before the engine starts its threads, which inherit what is held.
    (void)hold_signals(true, true);

    // The engine lives on the heap rather than on this thread's stack: it is
    // large, and its slot threads refer to it for the whole run.
    std::unique_ptr<Q_SOCKET> engine(new Q_SOCKET(argc, argv));

    if (!engine->ready) {
        g_stop.no_run_ahead();
        take_signals();
        print_usage(invocation_name(argc, argv).c_str());
        debugger_pause();
        return 0;
    }

    take_signals();
    run_outcome outcome = run_outcome::not_started;
    if (start_sockets()) {
        engine->fill_addresses();
        const int result = engine->cfg.listen ? engine->run_server() : engine->run_client();
        outcome = result == 0 ? run_outcome::served : run_outcome::setup_failed;
    }
    g_stop.no_run_ahead();
    print_run_end(outcome, engine->cfg.listen != 0);

    if (debugger_pause())
        exit_process(0);
    return 0;
}

int relay_main_wide(int argc, char16_t** argv)
{
    console_init();
    ignore_broken_pipes();
    return relay_main(argc, argv);
}

int relay_main_utf8(int argc, char** argv)
{

    // Each argument converted to UTF-16; invalid UTF-8 bytes become U+FFFD.
    std::vector<std::u16string> wide;
    wide.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        std::u16string w;
        const unsigned char* s = reinterpret_cast<const unsigned char*>(argv[i]);
        while (*s) {
            char32_t cp = 0xFFFD;
            int extra = 0;
            if (*s < 0x80) {
                cp = *s;
            } else if (*s >= 0xC2 && *s <= 0xDF) {
                cp = *s & 0x1F;
                extra = 1;
            } else if (*s >= 0xE0 && *s <= 0xEF) {
                cp = *s & 0x0F;
                extra = 2;
            } else if (*s >= 0xF0 && *s <= 0xF4) {
                cp = *s & 0x07;
                extra = 3;
            }
            ++s;
            int k = 0;
            for (; k < extra && (*s & 0xC0) == 0x80; ++k, ++s)
                cp = (cp << 6) | (*s & 0x3F);
            if (k < extra || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
                cp = 0xFFFD;
            if (cp >= 0x10000) {
                cp -= 0x10000;
                w.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
                w.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
            } else {
                w.push_back(static_cast<char16_t>(cp));
            }
        }
        wide.push_back(std::move(w));
    }
    std::vector<char16_t*> wide_argv;
    for (auto& w : wide)
        wide_argv.push_back(w.data());
    wide_argv.push_back(nullptr);
    return relay_main_wide(argc, wide_argv.data());
}
