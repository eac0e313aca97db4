// What Windows does with a file name's last component, for the plug-ins
// and for hosts: the names it resolves to devices, the trailing dots and
// spaces it strips, and the characters it forbids. Names are UTF-8 (char)
// or UTF-16 (char16_t, wchar_t on Windows) units; only the BMP matters here.
#ifndef KALDORIN_COMMON_WINDOWS_NAMES_H
#define KALDORIN_COMMON_WINDOWS_NAMES_H

#include <stddef.h>
#include <stdint.h>

namespace winname {

// The code point at `name[i]`, and `*units` the units it takes: a UTF-8
// two-byte sequence is decoded (the superscript digits are), any other
// unit stands for itself.
template <class Unit>
constexpr uint32_t CodeAt(const Unit* name, size_t length, size_t i, size_t* units) {
  const uint32_t c = static_cast<uint32_t>(name[i]) & (sizeof(Unit) == 1 ? 0xFFu : 0xFFFFFFFFu);
  if (sizeof(Unit) == 1 && c >= 0xC2 && c <= 0xDF && i + 1 < length &&
      (static_cast<uint32_t>(name[i + 1]) & 0xC0u) == 0x80u) {
    *units = 2;
    return ((c & 0x1Fu) << 6) | (static_cast<uint32_t>(name[i + 1]) & 0x3Fu);
  }
  *units = 1;
  return c;
}

// The length of `name` without the dots and spaces that end it, which
// Windows strips when it creates a file ("A." becomes "A").
template <class Unit>
constexpr size_t StrippedLength(const Unit* name, size_t length) {
  while (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ')) --length;
  return length;
}

// Whether Windows refuses the character in a file name: the controls
// 1-31 and < > : " / \ | ? *.
constexpr bool IsForbiddenCharacter(uint32_t c) {
  return (c >= 1 && c < 32) || c == '<' || c == '>' || c == ':' || c == '"' || c == '/' || c == '\\' || c == '|' ||
         c == '?' || c == '*';
}

// Whether Windows opens the device rather than a file for `name`: its base
// (up to the first '.', trailing spaces and dots ignored) is CON, PRN, AUX,
// NUL, COM0-COM9, LPT0-LPT9 or COM/LPT with a superscript 1, 2 or 3, in any
// case, whatever follows the first '.'.
template <class Unit>
constexpr bool IsDeviceName(const Unit* name, size_t length) {
  size_t base = 0;
  while (base < length && name[base] != '.') ++base;
  base = StrippedLength(name, base);
  uint32_t letters[3] = {0, 0, 0};
  size_t i = 0;
  for (int k = 0; k < 3; ++k) {
    if (i >= base) return false;
    size_t units = 1;
    uint32_t c = CodeAt(name, base, i, &units);
    letters[k] = c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
    i += units;
  }
  const auto is = [&](const char* word) {
    return letters[0] == static_cast<uint32_t>(word[0]) && letters[1] == static_cast<uint32_t>(word[1]) &&
           letters[2] == static_cast<uint32_t>(word[2]);
  };
  if (i == base) return is("CON") || is("PRN") || is("AUX") || is("NUL");
  if (!is("COM") && !is("LPT")) return false;
  size_t units = 1;
  const uint32_t digit = CodeAt(name, base, i, &units);
  if (i + units != base) return false;
  return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

}  // namespace winname

#endif
