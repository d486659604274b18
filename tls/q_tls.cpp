#include "tls/q_tls.h"

#include "shell/console.h"
#include "support/utf16.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>

q_tls_t g_tls;

namespace {

constexpr char CIPHER_LIST_TLS12[] = "CHACHA20:ECDHE+AESGCM:ECDHE+SHA384:ECDHE+SHA1:!CAMELLIA:!AES128";
constexpr char CIPHER_SUITES_TLS13[] = "TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384";
constexpr int SECURITY_LEVEL = 2;

constexpr std::uint32_t MAX_NAME_UNITS = q_tls_t::NAME_UNITS - 1;

std::uint64_t units_before_terminator(const char16_t* s)
{
    std::uint64_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

// Takes a new name into `held`, or leaves `held` empty and says why when the
// name does not fit. A null name keeps what is held.
void take_name(char16_t (&held)[q_tls_t::NAME_UNITS], const char16_t* name, const char* which)
{
    if (!name)
        return;
    std::uint64_t n = units_before_terminator(name);
    if (n > MAX_NAME_UNITS) {
        std::memset(held, 0, sizeof(held));
        out("q_tls_t::load_cer()  %s too long  %u/%u\n", which, static_cast<std::uint32_t>(n), MAX_NAME_UNITS);
        return;
    }
    // memmove: the caller may hand back the very buffer that is held.
    std::memmove(held, name, (static_cast<std::size_t>(n) + 1) * sizeof(char16_t));
    std::memset(held + n + 1, 0, (q_tls_t::NAME_UNITS - n - 1) * sizeof(char16_t));
}

void initial_name(char16_t (&wide)[q_tls_t::NAME_UNITS], char (&utf8)[q_tls_t::NAME_UNITS])
{
    std::memset(wide, 0, sizeof(wide));
    std::memcpy(wide, DEFAULT_PEM_FILE, sizeof(DEFAULT_PEM_FILE));
    utf16_to_utf8(utf8, wide);
}

// The library's reasons for a failed load are not shown; they must not stay
// queued on this thread, where a later SSL_get_error would read them.
int fail_load()
{
    ERR_clear_error();
    return -1;
}

// The library checks a key against the certificate already loaded and
// refuses one of another key pair: a readable key file, but the wrong key.
bool key_does_not_match()
{
    unsigned long e = ERR_peek_last_error();
    return ERR_GET_LIB(e) == ERR_LIB_X509 &&
           (ERR_GET_REASON(e) == X509_R_KEY_VALUES_MISMATCH || ERR_GET_REASON(e) == X509_R_KEY_TYPE_MISMATCH);
}

int report_mismatch()
{
    err("Private key does not match the public certificate\n");
    return fail_load();
}

void report_expiry(SSL_CTX* ctx)
{
    X509* cert = SSL_CTX_get0_certificate(ctx);
    if (!cert)
        return;
    const ASN1_TIME* not_after = X509_get0_notAfter(cert);
    if (!not_after)
        return;
    int days = 0;
    int seconds = 0;
    // A null start is the current time: the result is the time left.
    if (ASN1_TIME_diff(&days, &seconds, nullptr, not_after) && days <= 0 && seconds <= 0)
        out("certificate expired %i days ago\n\n", -days);
}

// A server context with the fixed settings, or null.
SSL_CTX* configured_ctx()
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        ERR_clear_error();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(ctx, CIPHER_LIST_TLS12);
    SSL_CTX_set_ciphersuites(ctx, CIPHER_SUITES_TLS13);
    SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_security_level(ctx, SECURITY_LEVEL);
    ERR_clear_error();
    return ctx;
}

// Chain and key into `ctx`; 0 when both are in place and match, else -1
// with the reason printed.
int load_files(SSL_CTX* ctx, const char* cer, const char* key)
{
    if (SSL_CTX_use_certificate_chain_file(ctx, cer) <= 0) {
        out("invalid or missing certificate file\n%s\n\n", cer);
        return fail_load();
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) <= 0) {
        if (key_does_not_match())
            return report_mismatch();
        out("invalid or missing key file\n%s\n\n", key);
        return fail_load();
    }
    // A key of another type than the certificate's is taken without a check
    // and shows here.
    if (SSL_CTX_check_private_key(ctx) == 0)
        return report_mismatch();
    return 0;
}

} // namespace

q_tls_t::q_tls_t()
{
    initial_name(tls_cer, tls_cer_utf8);
    initial_name(tls_key, tls_key_utf8);
    (void)ctx_lock.create(true);
}

void q_tls_t::create_ctx()
{
    out("%s\n", OpenSSL_version(OPENSSL_VERSION));
    SSL_CTX* ctx = configured_ctx();
    if (!ctx) {
        out("cannot create server SSL context\n\n");
        return;
    }
    // A context made earlier is not leaked when the holder is set up again.
    replace_ctx(ctx);
}

int q_tls_t::load_cer(const char16_t* cer, const char16_t* key)
{
    take_name(tls_cer, cer, "tls_cer");
    take_name(tls_key, key, "tls_key");

    SSL_CTX* ctx = ssl_ctx.load(std::memory_order_acquire);
    if (!ctx)
        return -1;
    if (utf16_to_utf8(tls_cer_utf8, tls_cer) == 0)
        return -1;
    if (utf16_to_utf8(tls_key_utf8, tls_key) == 0)
        return -1;
    if (load_files(ctx, tls_cer_utf8, tls_key_utf8) != 0)
        return -1;
    enabled.store(1, std::memory_order_relaxed);
    report_expiry(ctx);
    return 0;
}

int q_tls_t::reload_cer()
{
    const bool had_tls = enabled.load(std::memory_order_relaxed) != 0;
    out(":: reading the certificate again from %s\n", tls_cer_utf8);
    SSL_CTX* ctx = configured_ctx();
    if (!ctx) {
        out("cannot create server SSL context\n\n");
    } else if (tls_cer_utf8[0] == 0 || tls_key_utf8[0] == 0 || load_files(ctx, tls_cer_utf8, tls_key_utf8) != 0) {
        SSL_CTX_free(ctx);
        ctx = nullptr;
    }
    if (!ctx) {
        out(had_tls ? ":: the certificate in use stays\n" : ":: TLS stays off\n");
        return -1;
    }
    report_expiry(ctx);
    replace_ctx(ctx);
    enabled.store(1, std::memory_order_relaxed);
    out(had_tls ? ":: new connections use the new certificate\n" : ":: TLS on: new connections may use TLS and WSS\n");
    return 0;
}

ssl_st* q_tls_t::new_session()
{
    lock_ctx();
    SSL_CTX* ctx = ssl_ctx.load(std::memory_order_acquire);
    SSL* s = ctx ? SSL_new(ctx) : nullptr;
    unlock_ctx();
    return s;
}

void q_tls_t::replace_ctx(ssl_ctx_st* ctx)
{
    lock_ctx();
    SSL_CTX* old = ssl_ctx.exchange(ctx, std::memory_order_acq_rel);
    unlock_ctx();
    // Sessions made from the old context hold references of their own.
    if (old)
        SSL_CTX_free(old);
}

void q_tls_t::lock_ctx()
{
    if (ctx_lock.is_valid())
        ctx_lock.wait();
}

void q_tls_t::unlock_ctx()
{
    if (ctx_lock.is_valid())
        ctx_lock.set();
}

void q_tls_t::teardown()
{
    enabled.store(0, std::memory_order_relaxed);
    replace_ctx(nullptr);
}
