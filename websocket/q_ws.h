// q_ws_t: a connection's WebSocket state: the handshake's hash service, the
// frame decoder's flags, the UTF-8 scan that picks the opcode of the frames
// this client receives, the protocol version and, last, the transport.
#pragma once

#include "support/q_crypt.h"
#include "tls/q_tls_conn.h"
#include "websocket/q_utf8_hold.h"

#include <atomic>
#include <cstdint>

// The protocol a connection speaks, kept in `version`.
inline constexpr std::int32_t WS_VERSION_NONE = 0;      // nothing is framed (before the handshake, after the close)
inline constexpr std::int32_t WS_VERSION_HIXIE_76 = 8;  // 0x00 payload 0xFF frames; every value below 13 decodes so
inline constexpr std::int32_t WS_VERSION_RFC_6455 = 13;

inline bool ws_is_hixie_76(std::int32_t version)
{
    return version != WS_VERSION_NONE && version < WS_VERSION_RFC_6455;
}

// What decrypt returns when it decodes no frame. A decoded frame gives a
// result of 0 or more (see decrypt); need_more with result len says the
// frame has not fully arrived.
inline constexpr std::int64_t WS_MALFORMED = -1;           // RSV bits, a fragmented or oversized control frame, hixie-76 data not starting 0x00: close 1002
inline constexpr std::int64_t WS_STRAY_CONTINUATION = -2;  // a continuation frame that continues nothing: close 1002
inline constexpr std::int64_t WS_RESERVED_OPCODE = -3;     // opcodes 3 to 7 and 11 to 15: close 1002
inline constexpr std::int64_t WS_TOO_BIG = -6;             // the frame is longer than frame_limit: close 1009
inline constexpr std::int64_t WS_CLOSE_RECEIVED = -7;      // the client's close frame (hixie-76: 0xFF 0x00): answer with close 1000
inline constexpr std::int64_t WS_ENDED = -8;               // version is WS_VERSION_NONE: nothing more is decoded

// Frame opcodes (RFC 6455), also the kind of frame decrypt decoded last.
inline constexpr std::uint8_t WS_OP_CONTINUATION = 0x0;
inline constexpr std::uint8_t WS_OP_TEXT = 0x1;
inline constexpr std::uint8_t WS_OP_BINARY = 0x2;
inline constexpr std::uint8_t WS_OP_CLOSE = 0x8;
inline constexpr std::uint8_t WS_OP_PING = 0x9;
inline constexpr std::uint8_t WS_OP_PONG = 0xA;

// Close status codes the hub sends.
inline constexpr std::uint16_t WS_CLOSE_NORMAL = 1000;
inline constexpr std::uint16_t WS_CLOSE_GOING_AWAY = 1001;
inline constexpr std::uint16_t WS_CLOSE_PROTOCOL_ERROR = 1002;
inline constexpr std::uint16_t WS_CLOSE_TOO_BIG = 1009;

// The largest payload of a control frame, and of a whole control frame the
// hub sends (2-byte header, no mask).
inline constexpr std::uint64_t WS_CONTROL_PAYLOAD_MAX = 125;
inline constexpr std::uint64_t WS_CONTROL_FRAME_MAX = 2 + WS_CONTROL_PAYLOAD_MAX;

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
    // The kind (WS_OP_*) and payload length of the frame decrypt decoded
    // last; for WS_TOO_BIG the length the frame declared.
    std::uint8_t frame_opcode = 0;
    std::uint64_t payload_size = 0;
    // The longest frame, header included, the caller can hold (0: no limit).
    std::uint64_t frame_limit = 0;
    // The scan state belongs to the receiving client and is changed by the
    // sender that holds the client's buffer_free.
    std::atomic<std::int32_t> utf8_opcode{1};
    std::atomic<std::int32_t> utf8_pending{3};
    std::atomic<std::int32_t> utf8_fresh{1};
    // The lead byte of a pending sequence whose next byte has a narrower
    // range than 0x80..0xBF (0xE0, 0xED, 0xF0, 0xF4); 0 when there is none.
    std::atomic<std::uint8_t> utf8_lead{0};
    // WS_VERSION_*: 0: no framing; 1 to 12: hixie-76; 13: RFC 6455.
    std::atomic<std::int32_t> version{WS_VERSION_NONE};
    // This connection as a raw sender: the character its last read cut,
    // held back from its WebSocket receivers. Its reader only.
    q_utf8_hold_t held_back;
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

    // Decodes one frame at `data` in place. A data, ping or pong frame gives
    // a result of 0 or more: frame_opcode and payload_size describe it,
    // *payload points at the unmasked payload with a NUL behind it, and when
    // more_frames is set the next frame starts at *payload + result. Other
    // outcomes are the WS_* results above; see q_ws.cpp.
    std::int64_t decrypt(std::uint8_t* data, std::uint64_t len, std::uint8_t** payload);

    // Frames a whole payload inside dst[0, cap) behind the fixed head-room:
    // the frame's first byte, and *len grown to the frame length; null when
    // no frame is made (empty payload, no framing, does not fit).
    std::uint8_t* encode(std::uint8_t* dst, std::uint64_t cap, const std::uint8_t* src, std::uint64_t* len);
    // Frames the longest leading part of src[0, len) that fits dst[0, cap)
    // as one complete, final frame starting at dst; a text frame ends on a
    // character boundary. Returns the frame length (0: nothing fits, or no
    // framing) and in *taken the payload bytes it carries. An empty payload
    // gives an empty message.
    std::uint64_t encode_part(std::uint8_t* dst, std::uint64_t cap, const std::uint8_t* src, std::uint64_t len,
                              std::uint64_t* taken);
    // A pong (RFC 6455 only) carrying the ping's payload, at most 125 bytes,
    // at dst; its length, or 0 when none is made.
    std::uint64_t encode_pong(std::uint8_t* dst, std::uint64_t cap, const std::uint8_t* payload, std::uint64_t n);
    // A close frame with a status code (hixie-76: the closing frame 0xFF
    // 0x00) at dst; its length, or 0 when none is made. It is the last
    // frame: version becomes WS_VERSION_NONE, so nothing is framed or
    // decoded for the connection afterwards.
    std::uint64_t encode_close(std::uint8_t* dst, std::uint64_t cap, std::uint16_t code);
    // The opcode for this payload, 1 (text) or 2 (binary); updates the scan.
    std::int32_t classify(const std::uint8_t* s, std::uint64_t n);
};

// XORs n bytes at p with the 4-byte key, byte j with key[j % 4], in wide blocks.
void ws_unmask(std::uint8_t* p, std::uint64_t n, const std::uint8_t key[4]);
