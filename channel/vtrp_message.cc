#include "channel/vtrp_message.h"

#include <cstring>

#include "channel/byte_order.h"
#include "channel/crc.h"

namespace {

// Stores the CRC of bytes 4 to length - 1, big-endian, at offset 0.
void seal(uint8_t *message, uint32_t length) {
  vt_store_be32(message + VTRP_OFFSET_CRC, crc(message + 4, static_cast<int>(length) - 4));
}

// The header in host order as it was built in place, the form that
// vtrp_convert_message_to_network_order and vtrp_decompose_message convert.
vtrp_header read_host_order(const uint8_t *message) {
  vtrp_header header{};
  header.crc = vt_load_host<uint32_t>(message + VTRP_OFFSET_CRC);
  header.flags = vt_load_host<uint16_t>(message + VTRP_OFFSET_FLAGS);
  header.seq = vt_load_host<uint32_t>(message + VTRP_OFFSET_SEQ);
  header.id = vt_load_host<uint32_t>(message + VTRP_OFFSET_ID);
  const auto command = vt_load_host<uint16_t>(message + VTRP_OFFSET_COMMAND);
  header.category = static_cast<uint8_t>(command >> 8);
  header.type = static_cast<uint8_t>(command);
  return header;
}

}  // namespace

vtrp_header vtrp_decode_header(const uint8_t *message) {
  vtrp_header header{};
  header.crc = vt_load_be32(message + VTRP_OFFSET_CRC);
  header.flags = vt_load_be16(message + VTRP_OFFSET_FLAGS);
  header.seq = vt_load_be32(message + VTRP_OFFSET_SEQ);
  header.id = vt_load_be32(message + VTRP_OFFSET_ID);
  header.category = message[VTRP_OFFSET_COMMAND];
  header.type = message[VTRP_OFFSET_COMMAND + 1];
  return header;
}

uint32_t vtrp_encode_message(uint8_t *output, const vtrp_header &header, const uint8_t *payload,
                             uint32_t payload_length) {
  vt_store_be16(output + VTRP_OFFSET_FLAGS, header.flags);
  vt_store_be32(output + VTRP_OFFSET_SEQ, header.seq);
  vt_store_be32(output + VTRP_OFFSET_ID, header.id);
  vt_store_be16(output + VTRP_OFFSET_COMMAND, vtrp_command_code(header.category, header.type));
  if (payload_length != 0 && payload != output + VTRP_HEADER_LENGTH)
    std::memmove(output + VTRP_HEADER_LENGTH, payload, payload_length);
  const uint32_t total = payload_length + VTRP_HEADER_LENGTH;
  seal(output, total);
  return total;
}

int vtrp_compose_message(uint8_t *output, const agenda_item *record, uint32_t *length) {
  if (output == nullptr || record == nullptr || record->payload_length > VTRP_MAX_PAYLOAD) return -1;
  const vtrp_header header{0, record->flags, record->seq, record->id, record->category, record->type};
  const uint32_t total = vtrp_encode_message(output, header, record->payload, record->payload_length);
  if (length != nullptr) *length = total;
  return 0;
}

int vtrp_convert_message_to_network_order(uint8_t *message, uint32_t length) {
  // The header is rewritten in place, so a shorter buffer would be overrun.
  if (message == nullptr || length < VTRP_HEADER_LENGTH) return -1;
  vtrp_encode_message(message, read_host_order(message), message + VTRP_HEADER_LENGTH,
                      length - static_cast<uint32_t>(VTRP_HEADER_LENGTH));
  return 0;
}

int vtrp_decompose_message(uint8_t *message) {
  if (message == nullptr) return -1;
  const vtrp_header h = vtrp_decode_header(message);
  vt_store_host<uint32_t>(message + VTRP_OFFSET_CRC, h.crc);
  vt_store_host<uint16_t>(message + VTRP_OFFSET_FLAGS, h.flags);
  vt_store_host<uint32_t>(message + VTRP_OFFSET_SEQ, h.seq);
  vt_store_host<uint32_t>(message + VTRP_OFFSET_ID, h.id);
  vt_store_host<uint16_t>(message + VTRP_OFFSET_COMMAND, vtrp_command_code(h.category, h.type));
  return 0;
}
