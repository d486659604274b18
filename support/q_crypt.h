// Q_CRYPT: message digests for the WebSocket handshakes, over the system's
// hash provider (CNG) on Windows and OpenSSL's EVP on Linux.
//
// A record is idle between handshakes: init for one algorithm, hash, finish,
// read txt_hashes[0], release. All memory of a running record is one block:
// the digest pointers, the context handles, the context objects and the
// digests, in that order.
#pragma once

#include <cstdint>

// Algorithm names by alg_id, in the order of the table the handshakes use
// (2 = MD5, 3 = SHA1).
extern const char* const Q_CRYPT_ALG_ID[7];

struct Q_CRYPT {
    static constexpr std::uint32_t HASH_REUSABLE_FLAG = 0x20;

    std::uint64_t all_length = 0;
    std::uint64_t ptr_length = 0;
    std::uint32_t obj_length = 0;
    void** ctx = nullptr;       // the hash handles (EVP_MD_CTX on Linux)
    void* h_prov = nullptr;     // the algorithm provider (the fetched EVP_MD on Linux)
    std::uint32_t flags = 0;
    std::uint8_t initialized = 0;
    std::uint32_t alg_id = 0;
    std::uint8_t** txt_hashes = nullptr;
    std::uint32_t txt_length = 0;
    std::uint64_t ctx_count = 0;

    Q_CRYPT() = default;
    Q_CRYPT(const Q_CRYPT&) = delete;
    Q_CRYPT& operator=(const Q_CRYPT&) = delete;
    ~Q_CRYPT() { release(); }

    // 0 on success, else the failing status (reported).
    std::uint32_t init(std::uint32_t alg);
    // Does nothing (returns 0) unless initialized.
    std::uint32_t hash(std::uint64_t index, const void* data, std::uint64_t length);
    // First failing status, or 0.
    std::uint32_t finish();
    void release();

private:
    // The steps of init; each returns 0 or the status of the failed call.
    std::uint32_t open_provider();
    std::uint32_t query_object_length();
    std::uint32_t query_digest_length();
    std::uint32_t allocate_block();
    std::uint32_t create_context(std::uint64_t i);
    void destroy_contexts_newest_first(std::uint64_t count);
    std::uint32_t finish_context(std::uint64_t i);
};
