// q_ws_t: a connection's WebSocket state: the handshake's hash service, the
// frame decoder's flags, the UTF-8 scan that picks the opcode of the frames
// this client receives, the protocol version and, last, the transport.
#pragma once

#include "support/q_crypt.h"
#include "tls/q_tls_conn.h"

#include <atomic>
#include <cstdint>

struct q_ws_t {
    // Room an RFC 6455 frame header may take in front of a payload.
    static constexpr std::uint64_t HEAD_ROOM = 10;
    static constexpr std::uint64_t HEAD_ROOM_76 = 1;
    static constexpr std::uint64_t RESPONSE_SIZE = 2048;

    Q_CRYPT crypt;
    std::uint8_t saved_byte = 0;
    // Read by other slots' readers when they frame data for this client.
    std::atomic<std::uint8_t> upgraded{0};
    std::uint8_t need_more = 0;
    std::uint8_t more_frames = 0;
    std::uint8_t fragmented = 0;
    // The scan state belongs to the receiving client and is changed by the
    // sender that holds the client's buffer_free.
    std::atomic<std::int32_t> utf8_opcode{1};
    std::atomic<std::int32_t> utf8_pending{3};
    std::atomic<std::int32_t> utf8_fresh{1};
    // The lead byte of a pending sequence whose next byte has a narrower
    // range than 0x80..0xBF (0xE0, 0xED, 0xF0, 0xF4); 0 when there is none.
    std::atomic<std::uint8_t> utf8_lead{0};
    // 0: no framing; 1 to 12: hixie-76; 13: RFC 6455.
    std::atomic<std::int32_t> version{0};
    // A text message went out without FIN and waits for its continuation.
    std::atomic<std::uint8_t> text_open{0};
    q_tls_conn_t tls;

    q_ws_t() = default;
    q_ws_t(const q_ws_t&) = delete;
    q_ws_t& operator=(const q_ws_t&) = delete;
    ~q_ws_t();

    // Resets the scan for a new connection's first frame (after a handshake).
    void reset_scan();

    // Answers an opening handshake (NUL-terminated at data[len]) into the
    // caller's RESPONSE_SIZE buffer. The response length, or 0 / -1.
    std::int64_t handshake(char* data, std::uint64_t len, char* c_header_server);
    std::int64_t handshake_76(char* data, std::uint64_t len, char* c_header_server);

    // Decodes one frame at `data` in place; see the result table in q_ws.cpp.
    std::int64_t decrypt(std::uint8_t* data, std::uint64_t len, std::uint8_t** payload);

    // Frames a payload inside dst[0, cap): the frame's first byte, and *len
    // grown to the frame length; null when no frame is made.
    std::uint8_t* encode(std::uint8_t* dst, std::uint64_t cap, const std::uint8_t* src, std::uint64_t* len);
    // The opcode for this payload, 1 (text) or 2 (binary); updates the scan.
    std::int32_t classify(const std::uint8_t* s, std::uint64_t n);
};

// XORs n bytes at p with the 4-byte key, byte j with key[j % 4], in wide blocks.
void ws_unmask(std::uint8_t* p, std::uint64_t n, const std::uint8_t key[4]);
