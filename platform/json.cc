#include "platform/json.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
constexpr int kMaxDepth = 16;

// Length of the valid UTF-8 sequence at the start of s, 0 when there is none
// (a stray continuation byte, a cut, overlong or surrogate form, past U+10FFFF).
size_t utf8_sequence(std::string_view s) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(0);
  if (c < 0x80) return 1;
  size_t n;
  unsigned low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;   // overlong
    if (c == 0xED) high = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;   // overlong
    if (c == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < n || b(1) < low || b(1) > high) return 0;
  for (size_t i = 2; i < n; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
  }
  return n;
}

void append_utf8(std::string* out, uint32_t code) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

class parser {
 public:
  explicit parser(std::string_view text) : s_(text) {}

  bool document(json_value* out) {
    if (!value(out, 0)) return false;
    space();
    return i_ == s_.size();
  }

 private:
  void space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }

  bool take(char c) {
    space();
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }

  bool word(std::string_view w) {
    if (s_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }

  bool value(json_value* v, int depth) {
    if (depth > kMaxDepth) return false;
    space();
    if (i_ >= s_.size()) return false;
    const char c = s_[i_];
    if (c == '{') return object(v, depth);
    if (c == '[') return array(v, depth);
    if (c == '"') {
      v->type = json_value::kind::string;
      return string(&v->text);
    }
    if (word("true") || word("false")) {
      v->type = json_value::kind::boolean;
      v->flag = c == 't';
      return true;
    }
    if (word("null")) {
      v->type = json_value::kind::null;
      return true;
    }
    return number(v);
  }

  bool object(json_value* v, int depth) {
    ++i_;
    v->type = json_value::kind::object;
    if (take('}')) return true;
    do {
      space();
      std::pair<std::string, json_value> member;
      if (i_ >= s_.size() || s_[i_] != '"' || !string(&member.first) || !take(':') ||
          !value(&member.second, depth + 1)) {
        return false;
      }
      v->members.push_back(std::move(member));
    } while (take(','));
    return take('}');
  }

  bool array(json_value* v, int depth) {
    ++i_;
    v->type = json_value::kind::array;
    if (take(']')) return true;
    do {
      v->items.emplace_back();
      if (!value(&v->items.back(), depth + 1)) return false;
    } while (take(','));
    return take(']');
  }

  bool hex4(uint32_t* code) {
    if (s_.size() - i_ < 4) return false;
    *code = 0;
    for (int k = 0; k < 4; ++k) {
      const char d = s_[i_ + k];
      const int digit = d >= '0' && d <= '9'   ? d - '0'
                        : d >= 'a' && d <= 'f' ? d - 'a' + 10
                        : d >= 'A' && d <= 'F' ? d - 'A' + 10
                                               : -1;
      if (digit < 0) return false;
      *code = *code * 16 + static_cast<uint32_t>(digit);
    }
    i_ += 4;
    return true;
  }

  bool string(std::string* out) {
    ++i_;  // the opening quote
    while (i_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c < 0x20) return false;
      if (c != '\\') {
        const size_t n = utf8_sequence(s_.substr(i_));
        if (n == 0) return false;
        out->append(s_.substr(i_, n));
        i_ += n;
        continue;
      }
      if (++i_ >= s_.size()) return false;
      const char e = s_[i_++];
      switch (e) {
        case '"': case '\\': case '/': out->push_back(e); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
          uint32_t code;
          if (!hex4(&code)) return false;
          if (code >= 0xD800 && code <= 0xDBFF) {
            uint32_t low;
            if (!word("\\u") || !hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return false;
          }
          append_utf8(out, code);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  bool number(json_value* v) {
    const size_t start = i_;
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    const auto digits = [&] {
      size_t from = i_;
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
      return i_ > from;
    };
    if (!digits()) return false;
    if (i_ < s_.size() && s_[i_] == '.') {
      ++i_;
      if (!digits()) return false;
    }
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      if (!digits()) return false;
    }
    const std::string token(s_.substr(start, i_ - start));
    v->type = json_value::kind::number;
    v->number = strtod(token.c_str(), nullptr);
    return true;
  }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace

std::string json_quote(std::string_view text, size_t max_bytes) {
  std::string out = "\"";
  size_t used = 0;
  while (used < text.size()) {
    const std::string_view rest = text.substr(used);
    const size_t n = utf8_sequence(rest);
    const size_t taken = n ? n : 1;
    if (used + taken > max_bytes) break;
    used += taken;
    if (n == 0) {
      out += kReplacement;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(rest[0]);
    if (n > 1) {
      out.append(rest.substr(0, n));
    } else if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
  return out;
}

void json_writer::put(std::string_view bytes) {
  if (overflow_) return;
  if (out_.size() + bytes.size() > limit_) {
    overflow_ = true;
    return;
  }
  out_.append(bytes);
}

void json_writer::separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (need_comma_) put(",");
}

void json_writer::open(const char* bracket) {
  separate();
  put(bracket);
  need_comma_ = false;
}

void json_writer::close(const char* bracket) {
  put(bracket);
  need_comma_ = true;
}

void json_writer::key(const char* name) {
  separate();
  put(json_quote(name, 64));
  put(":");
  after_key_ = true;
}

void json_writer::string(std::string_view text, size_t max_bytes) {
  separate();
  put(json_quote(text, max_bytes));
  need_comma_ = true;
}

void json_writer::number(int64_t value) {
  separate();
  put(std::to_string(value));
  need_comma_ = true;
}

void json_writer::boolean(bool value) {
  separate();
  put(value ? "true" : "false");
  need_comma_ = true;
}

void json_writer::null() {
  separate();
  put("null");
  need_comma_ = true;
}

const json_value* json_value::get(const char* name) const {
  if (type != kind::object) return nullptr;
  for (const auto& member : members) {
    if (member.first == name) return &member.second;
  }
  return nullptr;
}

bool json_parse(std::string_view text, json_value* out) {
  *out = json_value();
  return parser(text).document(out);
}
