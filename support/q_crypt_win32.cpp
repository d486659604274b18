#include "support/q_crypt.h"

#include "shell/console.h"

#include <cstdlib>
#include <cstring>
#include <windows.h>
#include <bcrypt.h>

const char* const Q_CRYPT_ALG_ID[7] = {"MD2", "MD4", "MD5", "SHA1", "SHA256", "SHA384", "SHA512"};

namespace {

// The same table as the provider takes it.
const wchar_t* const ALG_ID_WIDE[7] = {L"MD2", L"MD4", L"MD5", L"SHA1", L"SHA256", L"SHA384", L"SHA512"};
constexpr std::uint32_t ALG_COUNT = sizeof(ALG_ID_WIDE) / sizeof(ALG_ID_WIDE[0]);
constexpr std::uint32_t UNKNOWN_DIGEST_LENGTH = 256;
constexpr std::uint32_t STATUS_NOT_FOUND_VALUE = 0xC0000225u;

static_assert(Q_CRYPT::HASH_REUSABLE_FLAG == BCRYPT_HASH_REUSABLE_FLAG);

std::uint32_t status_of(NTSTATUS status)
{
    return static_cast<std::uint32_t>(status);
}

BCRYPT_ALG_HANDLE provider_of(void* h)
{
    return static_cast<BCRYPT_ALG_HANDLE>(h);
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
    // The provider takes 32-bit counts: longer data goes in pieces, so
    // nothing past 4 GiB is silently dropped.
    if (index >= ctx_count || (!data && length != 0))
        return report_error(status_of(STATUS_INVALID_PARAMETER), "BCryptHashData(ctx[index], data, (ULONG)length, 0)");
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
    do {
        const ULONG piece = length > 0x80000000u ? 0x80000000u : static_cast<ULONG>(length);
        const NTSTATUS status = BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(ctx[index]), bytes, piece, 0);
        if (status != 0)
            return report_error(status_of(status), "BCryptHashData(ctx[index], data, (ULONG)length, 0)");
        bytes += piece;
        length -= piece;
    } while (length > 0);
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
                BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(ctx[i]));
    }
    if (txt_hashes) {
        SecureZeroMemory(txt_hashes, all_length);
        std::free(txt_hashes);
    }
    if (h_prov)
        BCryptCloseAlgorithmProvider(provider_of(h_prov), 0);

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

std::uint32_t Q_CRYPT::open_provider()
{
    if (alg_id >= ALG_COUNT)
        return STATUS_NOT_FOUND_VALUE;
    BCRYPT_ALG_HANDLE provider = nullptr;
    const NTSTATUS status = BCryptOpenAlgorithmProvider(&provider, ALG_ID_WIDE[alg_id], nullptr, flags);
    if (status != 0)
        return status_of(status);
    h_prov = provider;
    return 0;
}

std::uint32_t Q_CRYPT::query_object_length()
{
    DWORD value = 0;
    ULONG written = 0;
    const NTSTATUS status = BCryptGetProperty(provider_of(h_prov), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&value),
                                              sizeof(value), &written, 0);
    if (status != 0)
        return status_of(status);
    obj_length = value;
    return 0;
}

std::uint32_t Q_CRYPT::query_digest_length()
{
    DWORD value = 0;
    ULONG written = 0;
    const NTSTATUS status = BCryptGetProperty(provider_of(h_prov), BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&value),
                                              sizeof(value), &written, 0);
    if (status != 0 || value == 0 || value > UNKNOWN_DIGEST_LENGTH)
        return status != 0 ? status_of(status) : status_of(STATUS_INVALID_PARAMETER);
    txt_length = value;
    return 0;
}

// One zero-filled block: digest pointers, hash handles, hash objects,
// digests. The objects' region holds the provider's own state.
std::uint32_t Q_CRYPT::allocate_block()
{
    ptr_length = ctx_count * sizeof(void*);
    all_length = ctx_count * (txt_length + 16) + ctx_count * obj_length;
    SetLastError(0);
    void* block = std::calloc(1, all_length);
    if (!block) {
        const DWORD error = GetLastError();
        return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
    }
    std::uint8_t* bytes = static_cast<std::uint8_t*>(block);
    std::uint8_t* obj = bytes + 2 * ptr_length;
    txt_hashes = static_cast<std::uint8_t**>(block);
    ctx = reinterpret_cast<void**>(bytes + ptr_length);
    txt_hashes[0] = obj + ctx_count * obj_length;
    return 0;
}

std::uint32_t Q_CRYPT::create_context(std::uint64_t i)
{
    std::uint8_t* obj = reinterpret_cast<std::uint8_t*>(txt_hashes) + 2 * ptr_length;
    BCRYPT_HASH_HANDLE hash = nullptr;
    const NTSTATUS status =
        BCryptCreateHash(provider_of(h_prov), &hash, obj + i * obj_length, obj_length, nullptr, 0, flags);
    if (status != 0)
        return status_of(status);
    ctx[i] = hash;
    return 0;
}

void Q_CRYPT::destroy_contexts_newest_first(std::uint64_t count)
{
    while (count > 0) {
        --count;
        BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(ctx[count]));
        ctx[count] = nullptr;
    }
}

// A reusable hash object starts over by itself once finished; without the
// flag it stays finished until the next init.
std::uint32_t Q_CRYPT::finish_context(std::uint64_t i)
{
    return status_of(BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(ctx[i]), txt_hashes[i], txt_length, 0));
}
