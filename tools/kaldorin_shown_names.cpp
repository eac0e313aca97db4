#include "tools/kaldorin_shown_names.h"

#include <stdint.h>
#include <stdio.h>

namespace kaldorin {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when the byte there does
// not start one (overlong forms, surrogates and values past U+10FFFF are not
// valid).
size_t Utf8SequenceAt(const std::string& s, size_t i, uint32_t* code) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t length = 0;
  uint32_t value = 0;
  uint32_t min = 0;
  if (c < 0x80) {
    *code = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    length = 2, value = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    length = 3, value = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    length = 4, value = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() - i < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    const unsigned char next = static_cast<unsigned char>(s[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code = value;
  return length;
}

// C0 controls, DEL and the C1 controls (which terminals also act on).
bool IsControl(uint32_t code) { return code < 0x20 || (code >= 0x7F && code <= 0x9F); }

const char* CEscape(unsigned char c) {
  switch (c) {
    case 0x07: return "\\a";
    case 0x08: return "\\b";
    case 0x09: return "\\t";
    case 0x0A: return "\\n";
    case 0x0B: return "\\v";
    case 0x0C: return "\\f";
    case 0x0D: return "\\r";
    case 0x1B: return "\\e";
    default: return nullptr;
  }
}

void AppendHexBytes(const std::string& s, size_t from, size_t count, const char* format, std::string* out) {
  for (size_t k = 0; k < count; ++k) {
    char hex[8];
    snprintf(hex, sizeof hex, format, static_cast<unsigned>(static_cast<unsigned char>(s[from + k])));
    *out += hex;
  }
}

}  // namespace

std::string ShownName(const std::string& name) {
  bool plain = true;
  for (size_t i = 0; i < name.size() && plain;) {
    uint32_t code = 0;
    size_t length = Utf8SequenceAt(name, i, &code);
    plain = length != 0 && !IsControl(code);
    i += length;
  }
  if (plain) return name;
  std::string out = "$'";
  for (size_t i = 0; i < name.size();) {
    uint32_t code = 0;
    size_t length = Utf8SequenceAt(name, i, &code);
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (length == 0) {
      AppendHexBytes(name, i, 1, "\\x%02X", &out);
      i += 1;
      continue;
    }
    if (IsControl(code)) {
      const char* escape = length == 1 ? CEscape(c) : nullptr;
      if (escape != nullptr) {
        out += escape;
      } else {
        AppendHexBytes(name, i, length, "\\x%02X", &out);
      }
    } else if (c == '\'' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      out.append(name, i, length);
    }
    i += length;
  }
  return out + "'";
}

std::string VisibleText(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    uint32_t code = 0;
    size_t length = Utf8SequenceAt(text, i, &code);
    if (length != 0 && !IsControl(code)) {
      out.append(text, i, length);
      i += length;
      continue;
    }
    const char* escape = length == 1 ? CEscape(static_cast<unsigned char>(text[i])) : nullptr;
    if (escape != nullptr) {
      out += escape;
    } else {
      AppendHexBytes(text, i, length == 0 ? 1 : length, "\\x%02X", &out);
    }
    i += length == 0 ? 1 : length;
  }
  return out;
}

bool IsValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    uint32_t code = 0;
    size_t length = Utf8SequenceAt(s, i, &code);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    uint32_t code = 0;
    size_t length = Utf8SequenceAt(s, i, &code);
    char esc[8];
    if (length == 0) {
      snprintf(esc, sizeof esc, "\\udc%02x", static_cast<unsigned>(static_cast<unsigned char>(s[i])));
      out += esc;
      i += 1;
      continue;
    }
    if (code == '"' || code == '\\') {
      out += '\\';
      out += static_cast<char>(code);
    } else if (IsControl(code)) {
      snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(code));
      out += esc;
    } else {
      out.append(s, i, length);
    }
    i += length;
  }
  return out + "\"";
}

}  // namespace kaldorin
