// Channel messages: layout, command codes, the outgoing record and the
// conversions between host order and the wire.
//
// A message is a 16-byte header and 0 to 495 payload bytes. On the wire every
// multi-byte field is big-endian:
//
//   offset  0 u32 crc       CRC-32 of bytes 4 to the end
//   offset  4 u16 flags     0x0001 reply wanted, 0x0100 reply, 0x8000 failure
//   offset  6 u32 seq       sequence number of this transmission
//   offset 10 u32 id        message id, the same over all transmissions
//   offset 14 u16 command   category * 256 + type (category first on the wire)
//   offset 16     payload
//
// The order conversions treat bytes 14 and 15 as one 16-bit command code, so
// in a host-order buffer on a little-endian machine byte 14 holds the type.
// The channel itself keeps messages as they travel: a received header is
// decoded once into a vtrp_header, and every message sent is made by
// vtrp_encode_message.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t VTRP_HEADER_LENGTH = 16;
constexpr size_t VTRP_MAX_PAYLOAD = 495;
constexpr size_t VTRP_MAX_MESSAGE = VTRP_HEADER_LENGTH + VTRP_MAX_PAYLOAD;  // 511
constexpr size_t VTRP_SERIAL_LENGTH = 25;

// Header field offsets.
constexpr size_t VTRP_OFFSET_CRC = 0;
constexpr size_t VTRP_OFFSET_FLAGS = 4;
constexpr size_t VTRP_OFFSET_SEQ = 6;
constexpr size_t VTRP_OFFSET_ID = 10;
constexpr size_t VTRP_OFFSET_COMMAND = 14;

// flags bits.
constexpr uint16_t VTRP_FLAG_REPLY_WANTED = 0x0001;
constexpr uint16_t VTRP_FLAG_REPLY = 0x0100;
constexpr uint16_t VTRP_FLAG_FAILURE = 0x8000;
constexpr uint16_t VTRP_FLAGS_REPLY_OK = 0x0101;
constexpr uint16_t VTRP_FLAGS_REPLY_FAILED = 0x8101;

// Sequence number that announces a restart of the numbering.
constexpr uint32_t VTRP_SEQ_RESTART = 0xFFFFFFFFu;

// category: who opened the exchange.
enum : uint8_t {
  VTRP_CATEGORY_KEEPALIVE = 0,
  VTRP_CATEGORY_SERVER = 1,
  VTRP_CATEGORY_DEVICE = 2,
};

// type within category 1 (server requests) and 2 (device reports).
enum : uint8_t {
  VTRP_TYPE_KEEPALIVE = 0,
  VTRP_TYPE_FEATURE_INVITATION = 1,
  VTRP_TYPE_NOTICE = 2,
  VTRP_TYPE_REBOOT = 3,
  VTRP_TYPE_ACTION = 4,
  VTRP_TYPE_DEBUG_DUMP = 5,
  VTRP_TYPE_GPS_REPORT = 3,  // category 2
};

constexpr uint16_t vtrp_command_code(uint8_t category, uint8_t type) {
  return static_cast<uint16_t>(category << 8 | type);
}

// A message is a reply when either reply bit is set; anything else is a request.
constexpr bool vtrp_is_reply(uint16_t flags) { return (flags & 0x8100) != 0; }

// Header values in host order.
struct vtrp_header {
  uint32_t crc;
  uint16_t flags;
  uint32_t seq;
  uint32_t id;
  uint8_t category;
  uint8_t type;
};

// Decodes the header of a message as it travels (at least 16 bytes).
vtrp_header vtrp_decode_header(const uint8_t *message);

// The one encoder of messages: writes header (its crc aside) and the payload
// in network order into output (room for 16 + payload_length bytes; the
// payload may already be in place at output + 16) and seals it with the CRC.
// Returns the message length.
uint32_t vtrp_encode_message(uint8_t *output, const vtrp_header &header, const uint8_t *payload,
                             uint32_t payload_length);

// Outgoing message record (agenda item): one message that the device
// originates, kept by the delivery agenda until delivered or dropped. Host
// order throughout; times are 32-bit seconds compared as signed values.
// Producers make it zeroed with delivery_agenda_new_item (calloc; the agenda
// releases it with free).
struct agenda_item {
  uint32_t agenda_id;              // grouping id for lookups; every producer sets 0
  char serial[VTRP_SERIAL_LENGTH];  // device serial, not terminated when 25 long
  uint32_t created;
  uint32_t next_send;       // sent once the current time reaches it
  uint32_t retry_interval;  // starts at 10, doubles after every transmission
  uint32_t last_send;
  uint32_t expires;  // dropped after this time; 0 = never
  uint16_t flags;
  uint32_t seq;  // seq of the latest transmission
  uint32_t id;   // 0 until the first transmission sets it
  uint8_t category;
  uint8_t type;
  uint8_t payload[VTRP_MAX_PAYLOAD];
  uint32_t payload_length;  // 0 to 495
};

// Builds the wire image of an outgoing record into output (room for 511
// bytes), CRC included, and writes payload_length + 16 through length when it
// is not null. Returns 0, or -1 for a null output or record or a payload
// longer than 495 bytes.
int vtrp_compose_message(uint8_t *output, const agenda_item *record, uint32_t *length);

// Converts a message built in host order (a reply) in place to network order
// and stores the CRC of bytes 4 to length - 1 at offset 0. Returns 0, or -1 for
// a null message or one shorter than the 16-byte header.
int vtrp_convert_message_to_network_order(uint8_t *message, uint32_t length);

// Converts the header of a received message (at least 16 bytes) in place from
// network to host order. Returns 0, or -1 for a null message.
int vtrp_decompose_message(uint8_t *message);
