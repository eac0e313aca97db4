// A command's declaration bound to CLI11 (the one file besides parse.cpp that
// sees it): options are bound as text and converted here, so that every bad
// value gets the tool's own message.
#include <stdlib.h>

#include <CLI/CLI.hpp>

#include "tools/cli/command.h"

namespace kaldorin {

struct Declaration::Binding {
  OptionId id;
  CLI::Option* option = nullptr;
  std::string text;  // the value as given
  bool flag = false;
  bool* boolField = nullptr;
  std::string* textField = nullptr;
  uint64_t* countField = nullptr;
  Colour* colourField = nullptr;
  bool* given = nullptr;
};

namespace {

bool ParseCount(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return false;
  *value = v;
  return true;
}

bool ParseColour(const std::string& text, Colour* colour) {
  std::string hex = !text.empty() && text[0] == '#' ? text.substr(1) : text;
  if (hex.size() != 6 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
  for (int c = 0; c < 3; ++c) {
    colour->rgb[c] = static_cast<uint8_t>(strtoul(hex.substr(2 * c, 2).c_str(), nullptr, 16));
  }
  return true;
}

const char* ValueProblem(ValueKind kind) {
  switch (kind) {
    case kCount: return "needs a byte count";
    case kPositive: return "needs a positive count";
    case kColour: return "needs a colour as #RRGGBB";
    case kPicture: return "takes png or bmp";
    default: return "needs a value";
  }
}

}  // namespace

Declaration::Declaration(CLI::App* app) : app_(app) {}
Declaration::~Declaration() = default;

void Declaration::Add(OptionId id, ValueKind kind, std::unique_ptr<Binding> b) {
  const OptionSpec& spec = Spec(id);
  // A field of the wrong type for the option is a mistake in a declaration;
  // the table test runs every declaration, so it shows there.
  if ((kind == kNoValue) != (spec.kind == kNoValue) || (kind == kColour) != (spec.kind == kColour) ||
      ((kind == kCount) != (spec.kind == kCount || spec.kind == kPositive))) {
    fprintf(stderr, "kaldorin: internal error: %s bound to a field of the wrong type\n", spec.longName);
    abort();
  }
  b->id = id;
  options_.push_back(id);
  if (app_ != nullptr) {
    std::string names = spec.shortName != nullptr ? std::string(spec.shortName) + "," + spec.longName : spec.longName;
    if (spec.kind == kNoValue) {
      b->option = app_->add_flag(names, b->flag);
    } else {
      b->option = app_->add_option(names, b->text)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    }
  }
  bindings_.push_back(std::move(b));
}

void Declaration::Option(OptionId id, bool* field) {
  auto b = std::make_unique<Binding>();
  b->boolField = field;
  Add(id, kNoValue, std::move(b));
}

void Declaration::Option(OptionId id, std::string* field) {
  auto b = std::make_unique<Binding>();
  b->textField = field;
  Add(id, kText, std::move(b));
}

void Declaration::Option(OptionId id, uint64_t* field) {
  auto b = std::make_unique<Binding>();
  b->countField = field;
  Add(id, kCount, std::move(b));
}

void Declaration::Option(OptionId id, Colour* field, bool* given) {
  auto b = std::make_unique<Binding>();
  b->colourField = field;
  b->given = given;
  Add(id, kColour, std::move(b));
}

void Declaration::Operands(std::vector<std::string>* field, size_t min, size_t max, const char* problem) {
  operands_ = field;
  minOperands_ = min;
  maxOperands_ = max;
  operandProblem_ = problem;
  if (app_ != nullptr) app_->add_option("operands", *field);
}

void Declaration::Refuse(std::function<std::string()> check) { checks_.push_back(std::move(check)); }

bool Declaration::Takes(OptionId id) const {
  for (OptionId o : options_) {
    if (o == id) return true;
  }
  return false;
}

bool Declaration::Given(OptionId id) const {
  for (const auto& b : bindings_) {
    if (b->id == id) return b->option != nullptr && b->option->count() > 0;
  }
  return false;
}

std::string Declaration::Finish(const char* command) {
  for (const auto& b : bindings_) {
    if (b->option == nullptr || b->option->count() == 0) continue;
    const OptionSpec& spec = Spec(b->id);
    bool ok = true;
    if (b->boolField != nullptr) {
      *b->boolField = b->flag;
    } else if (b->textField != nullptr) {
      ok = spec.kind != kPicture || b->text == "png" || b->text == "bmp";
      *b->textField = b->text;
    } else if (b->countField != nullptr) {
      ok = ParseCount(b->text, spec.kind == kPositive ? 1000000000 : ~uint64_t{0}, b->countField) &&
           (spec.kind != kPositive || *b->countField != 0);
    } else if (b->colourField != nullptr) {
      ok = ParseColour(b->text, b->colourField);
      if (b->given != nullptr) *b->given = true;
    }
    if (!ok) return std::string(DisplayName(b->id)) + " " + ValueProblem(spec.kind);
  }
  for (size_t i = 0; i < kExclusivePairCount; ++i) {
    const ExclusivePair& p = kExclusivePairs[i];
    if (Given(p.a) && Given(p.b)) {
      return std::string(command) + ": " + DisplayName(p.a) + " and " + DisplayName(p.b) + " exclude each other";
    }
  }
  if (operands_ != nullptr && (operands_->size() < minOperands_ || operands_->size() > maxOperands_)) {
    return operandProblem_;
  }
  for (const auto& check : checks_) {
    std::string problem = check();
    if (!problem.empty()) return problem;
  }
  return std::string();
}

}  // namespace kaldorin
