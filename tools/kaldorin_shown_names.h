// Names as the tool prints them. File, folder and member names come from
// other people's files: a name that carries control characters must not be
// able to retitle, clear or rewrite the user's terminal, nor break a JSON
// line that a script reads.
#ifndef KALDORIN_TOOLS_KALDORIN_SHOWN_NAMES_H
#define KALDORIN_TOOLS_KALDORIN_SHOWN_NAMES_H

#include <string>

namespace kaldorin {

// `name` as it may be printed to a terminal. A name of printable characters
// (valid UTF-8 without control characters) comes back unchanged. Any other
// name is quoted as GNU ls quotes it, in the shell's $'...' form that a user
// can paste back into a command: \e, \n, \t and the other C escapes for
// control characters, \xHH for other control bytes and for bytes that are not
// valid UTF-8, \' and \\ for the quote and the backslash.
std::string ShownName(const std::string& name);

// `s` as a JSON string literal, always valid JSON: quotes, backslashes and
// control characters (C0, DEL and C1) escaped with \u. A byte that is not
// part of valid UTF-8 is written as the lone low surrogate \udcHH (HH the
// byte), the convention of Python's "surrogateescape", so that a reader can
// recover the file name's exact bytes.
std::string JsonString(const std::string& s);

// `text` (a message that may hold a name not passed through ShownName, or a
// plug-in's words) with its control characters and bytes that are not UTF-8
// written as the escapes ShownName uses, without quotes.
std::string VisibleText(const std::string& text);

// Whether `s` is valid UTF-8.
bool IsValidUtf8(const std::string& s);

}  // namespace kaldorin

#endif
