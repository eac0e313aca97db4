// The subcommands about plug-ins and pictures: plugins, info, decode, encode.
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <map>
#include <string>

#include "tools/kaldorin_cli.h"
#include "tools/kaldorin_files.h"
#include "tools/kaldorin_host_calls.h"
#include "tools/kaldorin_image_io.h"
#include "tools/kaldorin_progress.h"
#include "tools/kaldorin_shared.h"
#include "tools/kaldorin_truncation.h"

#include "image_i24b/i24b_encoder.h"

namespace kaldorin {

namespace {

const char* KindName(PluginKind kind) {
  switch (kind) {
    case kKindPicture: return "picture";
    case kKindArchive: return "archive";
    default: return "other";
  }
}

void PrintPictureInfo(const Options& options, const DataSource& source, const HostPlugin& plugin,
                      const PictureInfo& info, const std::string& text) {
  if (options.json) {
    printf("{\"file\": %s, \"plugin\": %s, \"api\": %s, \"type\": \"picture\", \"width\": %u, \"height\": %u, "
           "\"depth\": %d, \"left\": %d, \"top\": %d, \"x_density\": %u, \"y_density\": %u, \"text\": %s}\n",
           JsonString(source.name).c_str(), JsonString(plugin.fileName).c_str(),
           JsonString(plugin.apiVersion).c_str(), info.width, info.height, info.colorDepth, info.left, info.top,
           info.x_density, info.y_density, JsonString(text).c_str());
    return;
  }
  printf("%s\n", source.name.c_str());
  printf("  plug-in   %s (%s)\n", plugin.fileName.c_str(), plugin.apiVersion.c_str());
  printf("  type      picture\n");
  printf("  size      %u x %u\n", info.width, info.height);
  printf("  depth     %d bits per pixel\n", info.colorDepth);
  if (info.left != 0 || info.top != 0) printf("  origin    %d, %d\n", info.left, info.top);
  if (info.x_density != 0 || info.y_density != 0) printf("  density   %u x %u\n", info.x_density, info.y_density);
  if (!text.empty()) printf("  text      %s\n", text.c_str());
}

int InfoOne(const Options& options, const PluginSet& set, const std::string& path) {
  DataSource source;
  const HostPlugin* plugin = OpenAndPick(options, set, path, kKindOther, &source);
  if (plugin == nullptr) return kExitFailure;
  CallFailure failure;
  if (plugin->kind == kKindPicture) {
    PictureInfo info;
    std::string text;
    if (!PictureInformation(*plugin, source, &info, &text, &failure)) {
      ReportError(path, FailureText(*plugin, failure));
      return kExitFailure;
    }
    PrintPictureInfo(options, source, *plugin, info, text);
    return kExitOk;
  }
  std::vector<MemberRecord> members;
  if (!ListArchive(*plugin, source, &members, &failure)) {
    ReportError(path, FailureText(*plugin, failure));
    return kExitFailure;
  }
  PrintListing(options, source, *plugin, members, true);
  return kExitOk;
}

// Where decode writes `input`, and in which format.
bool DecodeTarget(const Options& options, const std::string& input, std::string* target, ImageFormat* format) {
  if (options.output == "-") {
    *target = "-";
    *format = options.format == "png" ? kFormatPng : options.format == "bmp" ? kFormatBmp : kFormatUnknown;
    if (*format == kFormatUnknown) {
      ReportError("-o -", "standard output needs --format png or --format bmp");
      return false;
    }
  } else if (input == "-" && options.output.empty()) {
    ReportError("standard input", "has no name to make an output name from; give one with -o");
    return false;
  } else if (!options.output.empty()) {
    *target = options.output;
    *format = FormatFromName(options.output);
    if (*format == kFormatUnknown) {
      ReportError(options.output, "the output name must end in .png or .bmp");
      return false;
    }
  } else {
    std::string ext = options.format.empty() ? DefaultImageExtension() : "." + options.format;
    *target = JoinPath(options.outputDir, StemOf(BaseName(input)) + ext);
    *format = FormatFromName(*target);
  }
  return true;
}

// A picture that the plug-in could not get memory for: the picture's own
// size says why, when the plug-in can tell it.
std::string MemoryFailureText(const HostPlugin& plugin, const DataSource& source, const CallFailure& failure) {
  PictureInfo info;
  std::string text;
  CallFailure ignored;
  if ((failure.code == kResultOutOfMemory || failure.code == kResultMemoryError) &&
      PictureInformation(plugin, source, &info, &text, &ignored)) {
    std::string size = std::to_string(info.width) + " x " + std::to_string(info.height);
    if (info.width == 0 || info.height == 0) return "the picture has no pixels (" + size + ")";
    return "there is not enough memory for a picture of " + size + " pixels";
  }
  return FailureText(plugin, failure);
}

int DecodeOne(const Options& options, const PluginSet& set, const std::string& input) {
  std::string target;
  ImageFormat format = kFormatUnknown;
  if (!DecodeTarget(options, input, &target, &format)) return kExitUsage;
  DataSource source;
  const HostPlugin* plugin = OpenAndPick(options, set, input, kKindPicture, &source);
  if (plugin == nullptr) return kExitFailure;
  TruncationCheck check;
  if (!StartTruncationCheck(options, input, source, &check)) return kExitFailure;
  ProgressBar bar;
  StartProgress(&bar, BaseName(input), options.quiet);
  RgbImage image;
  CallFailure failure;
  bool ok = GetPictureThroughPlugin(*plugin, SourceInput(source), &bar, &image, &failure);
  FinishProgress(&bar);
  if (!ok) {
    if (failure.code == kResultCancelled && CancelRequested()) {
      ReportError(input, "cancelled");
      return kExitCancelled;
    }
    ReportError(source.name, MemoryFailureText(*plugin, source, failure));
    return kExitFailure;
  }
  if (!FinishTruncationCheck(options, &check)) return kExitFailure;
  source.bytes.clear();
  int status = WriteImageSafely(options, target, format, image);
  if (status == kExitOk) {
    ReportResult(options, "",
                 {{"file", JsonString(source.name)}, {"output", JsonString(target)},
                  {"width", JsonNumber(image.width)}, {"height", JsonNumber(image.height)}});
  }
  return status;
}

// encode's output without -o: beside the input, its name with the last
// extension replaced by .i24 ("shots.v2/holiday" gives "shots.v2/holiday.i24").
std::string DefaultEncodeTarget(const std::string& input) {
  std::string name = BaseName(input);
  return input.substr(0, input.size() - name.size()) + StemOf(name) + ".i24";
}

// I24B has no transparency. A picture with pixels that are not fully opaque
// is composited over --background or loses its alpha with --ignore-alpha;
// without either it is refused, with the error reported.
bool SettleTransparency(const Options& options, const std::string& input, RgbImage* image) {
  uint64_t notOpaque = CountNotOpaque(*image);
  if (notOpaque != 0 && options.hasBackground) CompositeOver(image, options.background);
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

}  // namespace

// Which exports of a plug-in the tool calls: the wide ones (UTF-16 file
// names) where it has them, else the ANSI ones.
const char* NameForms(const HostPlugin& p) {
  const bool wide = p.isSupportedW || p.getPictureInfoW || p.getPictureW || p.getArchiveInfoW || p.getFileInfoW ||
                    p.getFileW;
  return wide ? "ANSI and wide" : "ANSI only";
}

int RunPlugins(const Options& options, const PluginSet& set) {
  if (options.json) printf("[");
  bool first = true;
  for (const HostPlugin& p : set.plugins) {
    if (options.json) {
      printf("%s\n  {\"file\": %s, \"api\": %s, \"kind\": \"%s\", \"exports\": \"%s\", \"info\": [", first ? "" : ",",
             JsonString(p.fileName).c_str(), JsonString(p.apiVersion).c_str(), KindName(p.kind), NameForms(p));
      for (size_t i = 0; i < p.infoTexts.size(); ++i) {
        printf("%s%s", i ? ", " : "", JsonString(p.infoTexts[i]).c_str());
      }
      printf("]}");
      first = false;
      continue;
    }
    printf("%s  API %s, %s plug-in, %s exports\n", p.fileName.c_str(), p.apiVersion.c_str(), KindName(p.kind),
           NameForms(p));
    if (!p.infoTexts.empty()) printf("  %s\n", p.infoTexts[0].c_str());
    for (size_t i = 1; i + 1 < p.infoTexts.size(); i += 2) {
      printf("  %-10s %s\n", p.infoTexts[i].c_str(), p.infoTexts[i + 1].c_str());
    }
  }
  if (options.json) printf("\n]\n");
  for (const std::string& f : set.failures) fprintf(stderr, "kaldorin: %s\n", f.c_str());
  if (set.plugins.empty()) {
    ReportError(PluginFolder(options.pluginDir), "no plug-ins found");
    return kExitFailure;
  }
  return kExitOk;
}

int RunInfo(const Options& options, const PluginSet& set) {
  if (options.args.empty()) return UsageError("info needs a file");
  int status = kExitOk;
  for (const std::string& path : options.args) {
    int s = InfoOne(options, set, path);
    if (s != kExitOk) status = s;
  }
  return status;
}

int RunDecode(const Options& options, const PluginSet& set) {
  if (options.args.empty()) return UsageError("decode needs a file");
  if (options.output.empty() == options.outputDir.empty()) {
    return UsageError("decode needs either -o OUT (one file) or -d DIR");
  }
  if (!options.output.empty() && options.args.size() != 1) return UsageError("-o takes one input file; use -d DIR");
  if (!options.outputDir.empty() && !IsDirectory(options.outputDir)) {
    ReportError(options.outputDir, "no such folder");
    return kExitFailure;
  }
  // Every output is checked before anything is decoded: none may be an
  // input, two inputs may not share one, and none is replaced without
  // --force.
  std::map<std::string, std::string> outputs;
  for (const std::string& input : options.args) {
    std::string target;
    ImageFormat format = kFormatUnknown;
    if (!DecodeTarget(options, input, &target, &format)) return kExitUsage;
    std::string key = Utf8Path(FsPath(AbsolutePath(target)).lexically_normal());
    auto known = outputs.emplace(key, input);
    if (!known.second) {
      ReportError(target, "would be written for both " + known.first->second + " and " + input +
                              "; decode them into different folders");
      return kExitFailure;
    }
    int s = CheckOutputTarget(options, target, options.args);
    if (s != kExitOk) return s;
  }
  int status = kExitOk;
  for (const std::string& input : options.args) {
    int s = DecodeOne(options, set, input);
    if (s == kExitCancelled || s == kExitUsage) return s;
    if (s != kExitOk) status = s;
  }
  return status;
}

int RunEncode(const Options& options) {
  if (options.args.size() != 1) return UsageError("encode takes one input picture");
  if (options.hasBackground && options.ignoreAlpha) {
    return UsageError("--background and --ignore-alpha exclude each other");
  }
  const std::string& input = options.args[0];
  if (input == "-" && options.output.empty()) {
    return UsageError("encode - needs -o OUT (or -o - for standard output)");
  }
  std::string target = options.output.empty() ? DefaultEncodeTarget(input) : options.output;
  int status = CheckOutputTarget(options, target, {input});
  if (status != kExitOk) return status;
  RgbImage image;
  std::string error;
  if (!ReadImageFile(input, &image, &error)) {
    ReportError(input, error);
    return kExitFailure;
  }
  if (!SettleTransparency(options, input, &image)) return kExitFailure;
  ProgressBar bar;
  StartProgress(&bar, BaseName(input), options.quiet);
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
  status = WriteBytesSafely(options, target, coded.data(), coded.size());
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
  ReportResult(options, text,
               {{"file", JsonString(input)}, {"output", JsonString(target)}, {"width", JsonNumber(image.width)},
                {"height", JsonNumber(image.height)}, {"size", JsonNumber(coded.size())}, {"bits_per_pixel", bpp}});
  return kExitOk;
}

namespace {

// Pixel `i` as "r,g,b", with ",a" when either picture has alpha.
std::string PixelText(const RgbImage& image, size_t i, bool withAlpha) {
  const uint8_t* p = &image.rgb[i * 3];
  std::string text = std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]);
  if (withAlpha) text += "," + std::to_string(image.alpha.empty() ? 255 : image.alpha[i]);
  return text;
}

bool SamePixel(const RgbImage& a, const RgbImage& b, size_t i) {
  uint8_t alphaA = a.alpha.empty() ? 255 : a.alpha[i];
  uint8_t alphaB = b.alpha.empty() ? 255 : b.alpha[i];
  return memcmp(&a.rgb[i * 3], &b.rgb[i * 3], 3) == 0 && alphaA == alphaB;
}

}  // namespace

int RunCompare(const Options& options) {
  constexpr int kDiffer = 1;
  constexpr int kTrouble = 2;
  if (options.args.size() != 2) return UsageError("compare takes two pictures");
  RgbImage pictures[2];
  for (int i = 0; i < 2; ++i) {
    std::string error;
    if (!ReadImageFile(options.args[i], &pictures[i], &error)) {
      ReportError(options.args[i], error);
      return kTrouble;
    }
  }
  const std::string& a = options.args[0];
  const std::string& b = options.args[1];
  const RgbImage& pa = pictures[0];
  const RgbImage& pb = pictures[1];
  if (pa.width != pb.width || pa.height != pb.height) {
    ReportError(b, "differs from " + a + ": " + std::to_string(pb.width) + " x " + std::to_string(pb.height) +
                       " pixels against " + std::to_string(pa.width) + " x " + std::to_string(pa.height));
    ReportResult(options, "", {{"a", JsonString(a)}, {"b", JsonString(b)}, {"same", "false"}});
    return kDiffer;
  }
  uint64_t differing = 0;
  size_t first = 0;
  for (size_t i = 0; i < pa.rgb.size() / 3; ++i) {
    if (!SamePixel(pa, pb, i) && differing++ == 0) first = i;
  }
  if (differing != 0) {
    bool withAlpha = !pa.alpha.empty() || !pb.alpha.empty();
    std::string where = "first at (" + std::to_string(first % pa.width) + ", " + std::to_string(first / pa.width) +
                        "): " + PixelText(pb, first, withAlpha) + " against " + PixelText(pa, first, withAlpha);
    ReportError(b, "differs from " + a + " in " + std::to_string(differing) + " pixels, " + where);
    ReportResult(options, "", {{"a", JsonString(a)}, {"b", JsonString(b)}, {"same", "false"},
                               {"differing_pixels", JsonNumber(differing)}});
    return kDiffer;
  }
  ReportResult(options,
               a + " and " + b + ": the same " + std::to_string(pa.width) + " x " + std::to_string(pa.height) +
                   " pixels",
               {{"a", JsonString(a)}, {"b", JsonString(b)}, {"same", "true"}, {"width", JsonNumber(pa.width)},
                {"height", JsonNumber(pa.height)}});
  return kExitOk;
}

}  // namespace kaldorin
