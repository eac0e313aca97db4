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
#include "tools/kaldorin_progress.h"
#include "tools/kaldorin_shared.h"

namespace kaldorin {

namespace {

struct EncodeOptions {
  Reporting report;
  std::string output;  // -o
  bool force = false;
  bool hasBackground = false;  // --background: composite over `background`
  Colour background;
  bool ignoreAlpha = false;  // --ignore-alpha: keep the colours, drop the alpha
  std::vector<std::string> files;
};

// encode's output without -o: beside the input, its name with the last
// extension replaced by .i24 ("shots.v2/holiday" gives "shots.v2/holiday.i24").
std::string DefaultEncodeTarget(const std::string& input) {
  std::string name = BaseName(input);
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


int RunEncode(const EncodeOptions& options) {
  const std::string& input = options.files[0];
  std::string target = options.output.empty() ? DefaultEncodeTarget(input) : options.output;
  int status = CheckOutputTarget(options.force, target, {input});
  if (status != kExitOk) return status;
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
  status = WriteBytesSafely({options.force, options.report.quiet}, target, coded.data(), coded.size());
  if (status != kExitOk) return status;
  uint64_t inputSize = 0;
  FileSizeOf(input, &inputSize);
  const double bitsPerPixel = coded.size() * 8.0 / (static_cast<double>(image.width) * image.height);
  char text[512];
  snprintf(text, sizeof text,
           "%s: %u x %u, input %llu bytes, output %llu bytes (%s), %.3f bits per pixel\n"
           "  %llu single pixels, %llu runs covering %llu pixels, %llu coded bits",
           input.c_str(), image.width, image.height, static_cast<unsigned long long>(inputSize),
           static_cast<unsigned long long>(coded.size()), target.c_str(), bitsPerPixel,
           static_cast<unsigned long long>(stats.singlePixels), static_cast<unsigned long long>(stats.runs),
           static_cast<unsigned long long>(stats.runPixels), static_cast<unsigned long long>(stats.codedBits));
  char bpp[32];
  snprintf(bpp, sizeof bpp, "%.3f", bitsPerPixel);
  ReportResult(options.report, text,
               {{"file", JsonString(input)}, {"output", JsonString(target)}, {"width", JsonNumber(image.width)},
                {"height", JsonNumber(image.height)}, {"size", JsonNumber(coded.size())}, {"bits_per_pixel", bpp}});
  return kExitOk;
}

Runner Declare(Declaration* d) {
  auto o = std::make_shared<EncodeOptions>();
  d->Option(kOptOutput, &o->output);
  d->Option(kOptBackground, &o->background, &o->hasBackground);
  d->Option(kOptIgnoreAlpha, &o->ignoreAlpha);
  d->Option(kOptForce, &o->force);
  DeclareReporting(d, &o->report);
  d->Operands(&o->files, 1, 1, "encode takes one input picture");
  d->Refuse([o]() -> std::string {
    return o->files[0] == "-" && o->output.empty() ? "encode - needs -o OUT (or -o - for standard output)" : "";
  });
  return [o] {
    o->report.toStandardError = o->output == "-";
    return RunEncode(*o);
  };
}

}  // namespace

extern const Command kEncodeCommand = {
    "encode", "IN.png|IN.bmp [-o OUT.i24]", "IN.png|IN.bmp [-o OUT]\twrite an I24B picture (default: IN with .i24)",
    "Writes an I24B picture that decodes to exactly the input's pixels. Without -o it goes\n"
    "to IN's folder, named as IN with its last extension replaced by .i24. IN - reads\n"
    "standard input, -o - writes standard output.\n",
    Declare};

}  // namespace kaldorin
