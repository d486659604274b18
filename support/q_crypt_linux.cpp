#include "support/q_crypt.h"

#include "shell/console.h"

#include <cerrno>
#include <cstdlib>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

const char* const Q_CRYPT_ALG_ID[7] = {"MD2", "MD4", "MD5", "SHA1", "SHA256", "SHA384", "SHA512"};

namespace {

constexpr std::uint32_t ALG_COUNT = sizeof(Q_CRYPT_ALG_ID) / sizeof(Q_CRYPT_ALG_ID[0]);
// Digest area used when the digest cannot tell its own length; larger than
// any digest OpenSSL produces (EVP_MAX_MD_SIZE is 64).
constexpr std::uint32_t UNKNOWN_DIGEST_LENGTH = 256;
// Status reported when OpenSSL failed without queueing an error code.
constexpr std::uint32_t UNSPECIFIED_FAILURE = 0xFFFFFFFFu;

// The earliest queued OpenSSL error as the status of a failed call. The
// queue is emptied as well: it is per thread, and a stale entry would make
// the next SSL_get_error on this reader thread report a TLS failure.
std::uint32_t take_openssl_status()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const std::uint32_t status = static_cast<std::uint32_t>(code);
    return status != 0 ? status : UNSPECIFIED_FAILURE;
}

EVP_MD* digest_of(void* provider)
{
    return static_cast<EVP_MD*>(provider);
}

EVP_MD_CTX* context_of(void* context)
{
    return static_cast<EVP_MD_CTX*>(context);
}

} // namespace

std::uint32_t Q_CRYPT::init(std::uint32_t alg)
{
    release();
    flags = HASH_REUSABLE_FLAG;
    alg_id = alg;
    ctx_count = 1;

    std::uint32_t status = open_provider();
    if (status != 0) {
        flags &= ~HASH_REUSABLE_FLAG;
        status = open_provider();
    }
    if (status != 0)
        return report_error(status, "BCryptOpenAlgorithmProvider(&h_prov, Q_CRYPT_ALG_ID[alg_id], NULL, flags)");

    obj_length = 0;
    status = query_object_length();
    if (status != 0)
        return report_error(status, "BCryptGetProperty(h_prov, BCRYPT_OBJECT_LENGTH, (byte *)&obj_length_all, "
                                    "obj_length_size, &obj_length_size, 0)");

    status = query_digest_length();
    if (status != 0) {
        report_error(status, "BCryptGetProperty(h_prov, BCRYPT_HASH_LENGTH, (byte *)&txt_length, "
                             "txt_length_size, &txt_length_size, 0)");
        txt_length = UNKNOWN_DIGEST_LENGTH;
    }

    status = allocate_block();
    if (status != 0)
        return report_error(status, "Q_CRYPT::init(){ txt_hashes = malloc(all_length); }");

    for (std::uint64_t i = 0; i < ctx_count; ++i) {
        status = create_context(i);
        if (status != 0) {
            report_error(status, "BCryptCreateHash(h_prov, &ctx[i], &obj[i * obj_length], obj_length, NULL, 0, flags)");
            destroy_contexts_newest_first(i);
            release();
            return status;
        }
    }

    for (std::uint64_t i = 1; i < ctx_count; ++i)
        txt_hashes[i] = txt_hashes[i - 1] + txt_length;
    initialized = 1;
    return 0;
}

std::uint32_t Q_CRYPT::hash(std::uint64_t index, const void* data, std::uint64_t length)
{
    if (initialized != 1)
        return 0;
    // The length goes to OpenSSL whole: cutting it to 32 bits, as a 32-bit
    // provider interface would, silently drops data past 4 GiB.
    if (index >= ctx_count || (!data && length != 0) || EVP_DigestUpdate(context_of(ctx[index]), data, length) != 1) {
        const std::uint32_t status = take_openssl_status();
        return report_error(status, "BCryptHashData(ctx[index], data, (ULONG)length, 0)");
    }
    return 0;
}

std::uint32_t Q_CRYPT::finish()
{
    if (initialized != 1)
        return 0;
    std::uint32_t first_failure = 0;
    for (std::uint64_t i = 0; i < ctx_count; ++i) {
        const std::uint32_t status = finish_context(i);
        if (status != 0 && first_failure == 0)
            first_failure = report_error(status, "BCryptFinishHash(ctx[i], txt_hashes[i], txt_length, 0)");
    }
    return first_failure;
}

void Q_CRYPT::release()
{
    initialized = 0;
    if (ctx) {
        for (std::uint64_t i = 0; i < ctx_count; ++i)
            if (ctx[i])
                EVP_MD_CTX_free(context_of(ctx[i]));
    }
    if (txt_hashes) {
        OPENSSL_cleanse(txt_hashes, all_length);
        std::free(txt_hashes);
    }
    if (h_prov)
        EVP_MD_free(digest_of(h_prov));

    all_length = 0;
    ptr_length = 0;
    obj_length = 0;
    ctx = nullptr;
    h_prov = nullptr;
    flags = 0;
    alg_id = 0;
    txt_hashes = nullptr;
    txt_length = 0;
    ctx_count = 0;
}

// The provider handle is the fetched digest. Fetching takes no flags, so the
// reusable flag cannot be refused here and the first attempt keeps it; the
// flag's meaning lives in finish_context instead.
std::uint32_t Q_CRYPT::open_provider()
{
    const char* name = alg_id < ALG_COUNT ? Q_CRYPT_ALG_ID[alg_id] : nullptr;
    if (name)
        h_prov = EVP_MD_fetch(nullptr, name, nullptr);
    return h_prov ? 0 : take_openssl_status();
}

// OpenSSL allocates each EVP_MD_CTX and its provider state itself and keeps
// their size private, so no hash object can live in our block: the object
// length is 0 and the obj region is empty. The region stays in the layout
// (and in all_length) so the offsets are those of a provider that does take
// caller memory for its objects. What can be asked of the digest here is
// whether a provider stands behind it to hold that state at all.
std::uint32_t Q_CRYPT::query_object_length()
{
    obj_length = 0;
    return EVP_MD_get0_provider(digest_of(h_prov)) ? 0 : UNSPECIFIED_FAILURE;
}

std::uint32_t Q_CRYPT::query_digest_length()
{
    const int size = EVP_MD_get_size(digest_of(h_prov));
    if (size <= 0 || static_cast<std::uint32_t>(size) > UNKNOWN_DIGEST_LENGTH)
        return take_openssl_status();
    txt_length = static_cast<std::uint32_t>(size);
    return 0;
}

// One zero-filled block: digest pointers, context handles, context objects,
// digests.
std::uint32_t Q_CRYPT::allocate_block()
{
    ptr_length = ctx_count * sizeof(void*);
    all_length = ctx_count * (txt_length + 16) + ctx_count * obj_length;
    errno = 0;
    void* block = std::calloc(1, all_length);
    if (!block)
        return errno != 0 ? static_cast<std::uint32_t>(errno) : static_cast<std::uint32_t>(ENOMEM);

    std::uint8_t* bytes = static_cast<std::uint8_t*>(block);
    std::uint8_t* obj = bytes + 2 * ptr_length;
    txt_hashes = static_cast<std::uint8_t**>(block);
    ctx = reinterpret_cast<void**>(bytes + ptr_length);
    txt_hashes[0] = obj + ctx_count * obj_length;
    return 0;
}

std::uint32_t Q_CRYPT::create_context(std::uint64_t i)
{
    ctx[i] = EVP_MD_CTX_new();
    if (ctx[i] && EVP_DigestInit_ex2(context_of(ctx[i]), digest_of(h_prov), nullptr) == 1)
        return 0;
    const std::uint32_t status = take_openssl_status();
    EVP_MD_CTX_free(context_of(ctx[i]));
    ctx[i] = nullptr;
    return status;
}

void Q_CRYPT::destroy_contexts_newest_first(std::uint64_t count)
{
    while (count > 0) {
        --count;
        EVP_MD_CTX_free(context_of(ctx[count]));
        ctx[count] = nullptr;
    }
}

// With the reusable flag a finished context starts over at once, ready for
// the next message, as a reusable hash object does; without it the context
// stays finished until the next init.
std::uint32_t Q_CRYPT::finish_context(std::uint64_t i)
{
    unsigned int written = 0;
    if (EVP_DigestFinal_ex(context_of(ctx[i]), txt_hashes[i], &written) != 1)
        return take_openssl_status();
    if ((flags & HASH_REUSABLE_FLAG) && EVP_DigestInit_ex2(context_of(ctx[i]), digest_of(h_prov), nullptr) != 1)
        return take_openssl_status();
    return 0;
}
