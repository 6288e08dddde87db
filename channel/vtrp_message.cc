#include "channel/vtrp_message.h"

#include <cstring>

#include "channel/byte_order.h"
#include "channel/crc.h"

namespace {

// Stores the CRC of bytes 4 to length - 1, big-endian, at offset 0.
void seal(uint8_t *message, uint32_t length) {
  vt_store_be32(message + VTRP_OFFSET_CRC, crc(message + 4, static_cast<int>(length) - 4));
}

}  // namespace

vtrp_header vtrp_read_header(const uint8_t *message) {
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

void vtrp_write_header(uint8_t *message, const vtrp_header &header) {
  vt_store_host<uint32_t>(message + VTRP_OFFSET_CRC, header.crc);
  vt_store_host<uint16_t>(message + VTRP_OFFSET_FLAGS, header.flags);
  vt_store_host<uint32_t>(message + VTRP_OFFSET_SEQ, header.seq);
  vt_store_host<uint32_t>(message + VTRP_OFFSET_ID, header.id);
  vt_store_host<uint16_t>(message + VTRP_OFFSET_COMMAND,
                          vtrp_command_code(header.category, header.type));
}

int vtrp_compose_message(uint8_t *output, const agenda_item *record, uint32_t *length) {
  if (output == nullptr || record == nullptr || record->payload_length > VTRP_MAX_PAYLOAD) return -1;
  vt_store_be16(output + VTRP_OFFSET_FLAGS, record->flags);
  vt_store_be32(output + VTRP_OFFSET_SEQ, record->seq);
  vt_store_be32(output + VTRP_OFFSET_ID, record->id);
  vt_store_be16(output + VTRP_OFFSET_COMMAND, vtrp_command_code(record->category, record->type));
  std::memcpy(output + VTRP_HEADER_LENGTH, record->payload, record->payload_length);
  const uint32_t total = record->payload_length + VTRP_HEADER_LENGTH;
  seal(output, total);
  if (length != nullptr) *length = total;
  return 0;
}

int vtrp_convert_message_to_network_order(uint8_t *message, uint32_t length) {
  // The header is rewritten in place, so a shorter buffer would be overrun.
  if (message == nullptr || length < VTRP_HEADER_LENGTH) return -1;
  vt_store_be16(message + VTRP_OFFSET_FLAGS, vt_load_host<uint16_t>(message + VTRP_OFFSET_FLAGS));
  vt_store_be32(message + VTRP_OFFSET_SEQ, vt_load_host<uint32_t>(message + VTRP_OFFSET_SEQ));
  vt_store_be32(message + VTRP_OFFSET_ID, vt_load_host<uint32_t>(message + VTRP_OFFSET_ID));
  vt_store_be16(message + VTRP_OFFSET_COMMAND,
                vt_load_host<uint16_t>(message + VTRP_OFFSET_COMMAND));
  seal(message, length);
  return 0;
}

int vtrp_decompose_message(uint8_t *message) {
  if (message == nullptr) return -1;
  vt_store_host<uint32_t>(message + VTRP_OFFSET_CRC, vt_load_be32(message + VTRP_OFFSET_CRC));
  vt_store_host<uint16_t>(message + VTRP_OFFSET_FLAGS, vt_load_be16(message + VTRP_OFFSET_FLAGS));
  vt_store_host<uint32_t>(message + VTRP_OFFSET_SEQ, vt_load_be32(message + VTRP_OFFSET_SEQ));
  vt_store_host<uint32_t>(message + VTRP_OFFSET_ID, vt_load_be32(message + VTRP_OFFSET_ID));
  vt_store_host<uint16_t>(message + VTRP_OFFSET_COMMAND,
                          vt_load_be16(message + VTRP_OFFSET_COMMAND));
  return 0;
}
