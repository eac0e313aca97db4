#include "tools/kaldorin_messages.h"

namespace kaldorin {

namespace {
thread_local HeldMessages* tHeld = nullptr;
}  // namespace

void WriteMessage(FILE* stream, const std::string& text) {
  if (tHeld != nullptr) {
    tHeld->lines.emplace_back(stream, text);
    return;
  }
  fputs(text.c_str(), stream);
}

void HoldMessages(HeldMessages* held) { tHeld = held; }

bool MessagesHeld() { return tHeld != nullptr; }

void WriteHeldMessages(HeldMessages* held) {
  FILE* last = nullptr;
  for (const auto& line : held->lines) {
    // Standard output and standard error keep their order on a terminal
    // and in a shared file only when each is flushed before the other.
    if (last != nullptr && last != line.first) fflush(last);
    fputs(line.second.c_str(), line.first);
    last = line.first;
  }
  if (last != nullptr) fflush(last);
  held->lines.clear();
}

}  // namespace kaldorin
