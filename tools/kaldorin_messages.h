// The lines the tool writes for the user (results, errors, warnings, call
// traces) all pass through WriteMessage, so that a batch run on several
// threads can hold each job's lines and write them in the order of its
// inputs, as one thread would have written them.
#ifndef KALDORIN_TOOLS_KALDORIN_MESSAGES_H
#define KALDORIN_TOOLS_KALDORIN_MESSAGES_H

#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

namespace kaldorin {

// One job's lines, in the order it wrote them, each with its stream.
struct HeldMessages {
  std::vector<std::pair<FILE*, std::string>> lines;
};

// Writes `text` (whole lines, newline included) to `stream`, or adds it to
// the calling thread's held lines while HoldMessages is in force there.
void WriteMessage(FILE* stream, const std::string& text);

// From now on the calling thread's messages go to `held`; null writes them
// again.
void HoldMessages(HeldMessages* held);
bool MessagesHeld();

// Writes the held lines to their streams and empties them.
void WriteHeldMessages(HeldMessages* held);

}  // namespace kaldorin

#endif
