// The authorisation answer (status line, session key, UDP server host and
// port) as the fetch tool leaves it. A granted answer yields a 16-character
// key, a host without blanks or line ends that fits its buffer, and a port of
// 1 to 65534; the buffers are heap blocks of exactly their sizes, so ASan sees
// any write past them.
#include "fuzz/fuzz_support.h"
#include "https/session_auth.h"

void fuzz::one(const uint8_t* data, size_t size) {
  FILE* in = size ? fmemopen(const_cast<uint8_t*>(data), size, "r") : nullptr;
  if (in == nullptr) return;
  std::unique_ptr<char[]> key(new char[kSessionKeySize]), host(new char[kAuthHostSize]);
  memset(key.get(), 'K', kSessionKeySize);
  memset(host.get(), 'H', kAuthHostSize);
  int port = -1;
  const int result = parse_auth_answer(in, key.get(), host.get(), &port);
  fclose(in);
  fuzz::check(result == AUTH_GRANTED || result == AUTH_NOT_REDIRECTED || result == AUTH_NO_ANSWER, "unknown result");
  if (result != AUTH_GRANTED) return fuzz::check(port == -1, "port stored for a refused answer");
  fuzz::check(key[16] == '\0', "key not terminated after 16 characters");
  const size_t host_length = strnlen(host.get(), kAuthHostSize);
  fuzz::check(host_length > 0 && host_length < kAuthHostSize, "host empty or unterminated");
  fuzz::check(strpbrk(host.get(), " \r\n") == nullptr, "host holds a blank or line end");
  fuzz::check(port >= 1 && port <= 65534, "port out of range");
}
