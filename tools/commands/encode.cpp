// kaldorin encode: an I24B picture from a PNG or BMP one.
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "image_i24b/i24b_encoder.h"
#include "tools/cli/command.h"
#include "tools/cli/option_groups.h"
#include "tools/kaldorin_files.h"
#include "tools/kaldorin_image_io.h"
#include "tools/kaldorin_jobs.h"
#include "tools/kaldorin_progress.h"
#include "tools/kaldorin_shared.h"

namespace kaldorin {

namespace {

struct EncodeOptions {
  Reporting report;
  std::string output;  // -o
  std::string dir;     // -d
  bool force = false;
  uint64_t jobs = 0;  // -j; 0: the processors available
  bool hasBackground = false;  // --background: composite over `background`
  Colour background;
  bool ignoreAlpha = false;  // --ignore-alpha: keep the colours, drop the alpha
  std::vector<std::string> files;
};

// encode's output: -o, or in -d DIR, or beside the input; its name is the
// input's with the last extension replaced by .i24 ("shots.v2/holiday"
// gives "shots.v2/holiday.i24").
std::string EncodeTarget(const EncodeOptions& options, const std::string& input) {
  if (!options.output.empty()) return options.output;
  std::string name = BaseName(input);
  if (!options.dir.empty()) return JoinPath(options.dir, StemOf(name) + ".i24");
  return input.substr(0, input.size() - name.size()) + StemOf(name) + ".i24";
}

// I24B has no transparency. A picture with pixels that are not fully opaque
// is composited over --background or loses its alpha with --ignore-alpha;
// without either it is refused, with the error reported.
bool SettleTransparency(const EncodeOptions& options, const std::string& input, RgbImage* image) {
  uint64_t notOpaque = CountNotOpaque(*image);
  if (notOpaque != 0 && options.hasBackground) CompositeOver(image, options.background.rgb);
  if (notOpaque == 0 || options.hasBackground || options.ignoreAlpha) return true;
  uint64_t pixels = static_cast<uint64_t>(image->width) * image->height;
  ReportError(input, std::to_string(notOpaque) + " of " + std::to_string(pixels) +
                         " pixels are not fully opaque and I24B has no transparency; use --background COLOR to "
                         "composite them over a colour or --ignore-alpha to keep their colours");
  return false;
}

bool EncoderProgress(uint32_t row, uint32_t height, void* user) {
  return !ReportProgress(static_cast<ProgressBar*>(user), row, height);
}


int EncodeOne(const EncodeOptions& options, const std::string& input) {
  const std::string target = EncodeTarget(options, input);
  RgbImage image;
  std::string error;
  if (!ReadImageFile(input, &image, &error)) {
    ReportError(input, error);
    return kExitFailure;
  }
  if (!SettleTransparency(options, input, &image)) return kExitFailure;
  ProgressBar bar;
  StartProgress(&bar, BaseName(input), options.report.quiet);
  std::vector<uint8_t> coded;
  i24b::EncodeStats stats{};
  bool ok = i24b::EncodeI24B(image.rgb.data(), image.width, image.height, &coded, &stats, EncoderProgress, &bar, &error);
  FinishProgress(&bar);
  if (!ok) {
    if (CancelRequested()) {
      ReportError(input, "cancelled");
      return kExitCancelled;
    }
    ReportError(input, "cannot encode: " + error);
    return kExitFailure;
  }
  int status = WriteBytesSafely({options.force, options.report.quiet}, target, coded.data(), coded.size());
  if (status != kExitOk) return status;
  uint64_t inputSize = 0;
  FileSizeOf(input, &inputSize);
  const double bitsPerPixel = coded.size() * 8.0 / (static_cast<double>(image.width) * image.height);
  char bpp[32];
  snprintf(bpp, sizeof bpp, "%.3f", bitsPerPixel);
  char counts[160];
  snprintf(counts, sizeof counts, "  %llu single pixels, %llu runs covering %llu pixels, %llu coded bits",
           static_cast<unsigned long long>(stats.singlePixels), static_cast<unsigned long long>(stats.runs),
           static_cast<unsigned long long>(stats.runPixels), static_cast<unsigned long long>(stats.codedBits));
  const std::string text = ShownName(input) + ": " + std::to_string(image.width) + " x " +
                           std::to_string(image.height) + ", input " + std::to_string(inputSize) + " bytes, output " +
                           std::to_string(coded.size()) + " bytes (" + ShownName(target) + "), " + bpp +
                           " bits per pixel\n" + counts;
  ReportResult(options.report, text,
               {{"file", JsonString(input)}, {"output", JsonString(target)}, {"width", JsonNumber(image.width)},
                {"height", JsonNumber(image.height)}, {"size", JsonNumber(coded.size())}, {"bits_per_pixel", bpp}});
  return kExitOk;
}

int RunEncode(const EncodeOptions& options) {
  if (!options.dir.empty() && !IsDirectory(options.dir)) {
    ReportError(options.dir, "no such folder");
    return kExitFailure;
  }
  std::vector<std::string> targets;
  for (const std::string& input : options.files) targets.push_back(EncodeTarget(options, input));
  const int checked = CheckOutputsOfInputs(options.force, options.files, targets, "encode");
  if (checked != kExitOk) return checked;
  const Batch batch = FileBatch(options.files, options.jobs, options.report.quiet);
  return RunBatch(batch, [&](size_t i) { return EncodeOne(options, options.files[i]); });
}

Runner Declare(Declaration* d) {
  auto o = std::make_shared<EncodeOptions>();
  d->Option(kOptOutput, &o->output);
  d->Option(kOptDir, &o->dir);
  d->Option(kOptBackground, &o->background, &o->hasBackground);
  d->Option(kOptIgnoreAlpha, &o->ignoreAlpha);
  d->Option(kOptForce, &o->force);
  d->Option(kOptJobs, &o->jobs);
  DeclareReporting(d, &o->report);
  d->Operands(&o->files, 1, Declaration::kAnyNumber, "encode needs an input picture");
  d->Refuse([o]() -> std::string {
    if (!o->output.empty() && o->files.size() != 1) return "encode: -o takes one input picture; use -d DIR";
    for (const std::string& f : o->files) {
      if (f == "-" && o->output.empty()) return "encode - needs -o OUT (or -o - for standard output)";
    }
    return "";
  });
  return [o] {
    o->report.toStandardError = o->output == "-";
    return RunEncode(*o);
  };
}

}  // namespace

extern const Command kEncodeCommand = {
    "encode", "IN.png|IN.bmp [-o OUT.i24]\nIN... [-d DIR]",
    "IN.png|IN.bmp [-o OUT]\twrite an I24B picture (default: IN with .i24)\n"
    "IN... [-d DIR]\tencode several pictures, beside them or into DIR",
    "Writes I24B pictures that decode to exactly the inputs' pixels. Without -o each goes\n"
    "to its input's folder (or to -d DIR), named as the input with its last extension\n"
    "replaced by .i24. IN - reads standard input, -o - writes standard output.\n",
    Declare};

}  // namespace kaldorin
