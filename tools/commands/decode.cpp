// kaldorin decode: pictures through the picture plug-in that takes them, to
// PNG or BMP.
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/cli/command.h"
#include "tools/cli/option_groups.h"
#include "tools/kaldorin_files.h"
#include "tools/kaldorin_host_calls.h"
#include "tools/kaldorin_jobs.h"
#include "tools/kaldorin_progress.h"
#include "tools/kaldorin_shared.h"
#include "tools/kaldorin_truncation.h"

namespace kaldorin {

namespace {

struct DecodeOptions {
  PluginLoading plugins;
  DataInput input;
  Reporting report;
  std::string output;  // -o
  std::string dir;     // -d
  std::string format;  // --format png|bmp
  bool force = false;
  bool allowTruncated = false;
  uint64_t jobs = 0;  // -j; 0: the processors available
  std::vector<std::string> files;
};

// Where decode writes `input`, and in which format.
bool DecodeTarget(const DecodeOptions& options, const std::string& input, std::string* target, ImageFormat* format) {
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
    *target = JoinPath(options.dir, StemOf(BaseName(input)) + ext);
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

int DecodeOne(const DecodeOptions& options, const PluginSet& set, const std::string& input) {
  std::string target;
  ImageFormat format = kFormatUnknown;
  if (!DecodeTarget(options, input, &target, &format)) return kExitUsage;
  DataSource source;
  const HostPlugin* plugin = OpenAndPick(options.input, options.plugins, set, input, kKindPicture, &source);
  if (plugin == nullptr) return kExitFailure;
  TruncationCheck check;
  if (!StartTruncationCheck(options.allowTruncated, input, source, &check)) return kExitFailure;
  ProgressBar bar;
  StartProgress(&bar, BaseName(input), options.report.quiet);
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
  if (!FinishTruncationCheck(options.allowTruncated, &check)) return kExitFailure;
  source.bytes.clear();
  int status = WriteImageSafely({options.force, options.report.quiet}, target, format, image);
  if (status == kExitOk) {
    ReportResult(options.report, "",
                 {{"file", JsonString(source.name)}, {"output", JsonString(target)},
                  {"width", JsonNumber(image.width)}, {"height", JsonNumber(image.height)}});
  }
  return status;
}


int RunDecode(const DecodeOptions& options, const PluginSet& set) {
  if (!options.dir.empty() && !IsDirectory(options.dir)) {
    ReportError(options.dir, "no such folder");
    return kExitFailure;
  }
  std::vector<std::string> targets;
  for (const std::string& input : options.files) {
    ImageFormat format = kFormatUnknown;
    targets.emplace_back();
    if (!DecodeTarget(options, input, &targets.back(), &format)) return kExitUsage;
  }
  const int checked = CheckOutputsOfInputs(options.force, options.files, targets, "decode");
  if (checked != kExitOk) return checked;
  const Batch batch = FileBatch(options.files, options.jobs, options.report.quiet);
  return RunBatch(batch, [&](size_t i) { return DecodeOne(options, set, options.files[i]); });
}

Runner Declare(Declaration* d) {
  auto o = std::make_shared<DecodeOptions>();
  DeclarePluginLoading(d, &o->plugins);
  DeclareDataInput(d, &o->input);
  d->Option(kOptOutput, &o->output);
  d->Option(kOptDir, &o->dir);
  d->Option(kOptFormat, &o->format);
  d->Option(kOptForce, &o->force);
  d->Option(kOptAllowTruncated, &o->allowTruncated);
  d->Option(kOptJobs, &o->jobs);
  DeclareReporting(d, &o->report);
  d->Operands(&o->files, 1, Declaration::kAnyNumber, "decode needs a file");
  d->Refuse([o]() -> std::string {
    if (o->output.empty() && o->dir.empty()) return "decode needs either -o OUT (one file) or -d DIR";
    if (!o->output.empty() && o->files.size() != 1) return "decode: -o takes one input file; use -d DIR";
    if (!o->format.empty() && !o->output.empty() && o->output != "-" &&
        FormatFromName(o->output) != FormatFromName("." + o->format)) {
      return "decode: --format " + o->format + " contradicts -o " + o->output;
    }
    return "";
  });
  return [o] {
    o->report.toStandardError = o->output == "-";
    return RunWithPlugins(o->plugins, [&](const PluginSet& set) { return RunDecode(*o, set); });
  };
}

}  // namespace

extern const Command kDecodeCommand = {
    "decode", "FILE -o OUT.png|OUT.bmp|-\nFILE... -d DIR",
    "FILE -o OUT.png|OUT.bmp\tdecode a picture through its plug-in (-o -: standard output)\n"
    "FILE... -d DIR\tdecode several pictures into DIR",
    "Decodes pictures through the picture plug-in that takes them and writes PNG or BMP,\n"
    "chosen by the output name or by --format. FILE - reads standard input; -o - writes\n"
    "standard output and needs --format. A picture whose data ends early is an error and\n"
    "nothing is written, unless --allow-truncated.\n",
    Declare};

}  // namespace kaldorin
