// q_tls_t: the process-wide TLS server context and the PEM file names.
#pragma once

#include "support/q_event.h"

#include <atomic>
#include <cstdint>

struct ssl_ctx_st;
struct ssl_st;

// The PEM file that holds the certificate chain and the private key, looked
// up in the working directory.
inline constexpr char16_t DEFAULT_PEM_FILE[] = u"relayhub.pem";

struct q_tls_t {
    static constexpr std::uint32_t NAME_UNITS = 65536;

    std::atomic<ssl_ctx_st*> ssl_ctx{nullptr};
    std::atomic<std::uint8_t> enabled{0};
    // Held while a session is made from `ssl_ctx` and while `ssl_ctx` is
    // replaced, so a context is never freed between being read and taken by
    // a new session (each session holds a reference on its context).
    Q_EVENT ctx_lock;
    char16_t tls_cer[NAME_UNITS];
    char16_t tls_key[NAME_UNITS];
    char tls_cer_utf8[NAME_UNITS];
    char tls_key_utf8[NAME_UNITS];

    q_tls_t();

    // Prints the library version line, creates and configures the context.
    void create_ctx();
    // 0 when chain and key are loaded and match (TLS enabled), else -1.
    // A null name keeps the name already held.
    int load_cer(const char16_t* cer, const char16_t* key);
    // Reads the PEM files again into a new context. On success it replaces
    // the one in use (sessions already open keep theirs) and TLS is enabled;
    // on failure the context in use stays. Prints what happened; 0 or -1.
    int reload_cer();
    // A new server session on the context in use; null without one.
    ssl_st* new_session();
    // Clears `enabled` and frees the context.
    void teardown();

private:
    void replace_ctx(ssl_ctx_st* ctx);
    void lock_ctx();
    void unlock_ctx();
};

extern q_tls_t g_tls;
