// Plug-in information strings and the table walk behind GetPluginInfo.
#ifndef KALDORIN_COMMON_PLUGIN_INFO_H
#define KALDORIN_COMMON_PLUGIN_INFO_H

#include "common/plugin_api.h"

// A PluginInfoTable is an array of NUL-terminated strings ended by a null
// entry: API version, about text, then pairs of (file pattern, description).
typedef const char* const PluginInfoTable[];

// Copies entry `infono` of `table` into `buf` (at most buflen - 1 bytes,
// NUL-padded, always NUL-terminated) and returns the length now in `buf`.
// Returns 0 and writes nothing for an entry that does not exist, a null
// `buf` or a `buflen` below 1.
int CopyPluginInfo(const char* const* table, int infono, char* buf, int buflen);
// The same for GetPluginInfoW: the (ASCII) text widened, `buflen` in WCHARs.
int CopyPluginInfo(const char* const* table, int infono, WCHAR* buf, int buflen);

#endif
