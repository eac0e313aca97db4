// kaldorin compare: whether two PNG or BMP pictures hold the same pixels.
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/cli/command.h"
#include "tools/cli/option_groups.h"
#include "tools/kaldorin_image_io.h"
#include "tools/kaldorin_shared.h"

namespace kaldorin {

namespace {

struct CompareOptions {
  Reporting report;
  std::vector<std::string> files;
};

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


// Exits like cmp: 0 when both pictures hold the same pixels, 1 when they
// differ, 2 when one cannot be read. Pixels differ when their colours or
// their opacities do (a picture without alpha is opaque throughout), so
// transparent pixels count with the colour they store.
int RunCompare(const CompareOptions& options) {
  constexpr int kDiffer = 1;
  constexpr int kTrouble = 2;
  RgbImage pictures[2];
  for (int i = 0; i < 2; ++i) {
    std::string error;
    if (!ReadImageFile(options.files[i], &pictures[i], &error)) {
      ReportError(options.files[i], error);
      return kTrouble;
    }
  }
  const std::string& a = options.files[0];
  const std::string& b = options.files[1];
  const RgbImage& pa = pictures[0];
  const RgbImage& pb = pictures[1];
  if (pa.width != pb.width || pa.height != pb.height) {
    ReportError(b, "differs from " + ShownName(a) + ": " + std::to_string(pb.width) + " x " + std::to_string(pb.height) +
                       " pixels against " + std::to_string(pa.width) + " x " + std::to_string(pa.height));
    ReportResult(options.report, "", {{"a", JsonString(a)}, {"b", JsonString(b)}, {"same", "false"}});
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
    ReportError(b, "differs from " + ShownName(a) + " in " + std::to_string(differing) + " pixels, " + where);
    ReportResult(options.report, "", {{"a", JsonString(a)}, {"b", JsonString(b)}, {"same", "false"},
                               {"differing_pixels", JsonNumber(differing)}});
    return kDiffer;
  }
  ReportResult(options.report,
               a + " and " + b + ": the same " + std::to_string(pa.width) + " x " + std::to_string(pa.height) +
                   " pixels",
               {{"a", JsonString(a)}, {"b", JsonString(b)}, {"same", "true"}, {"width", JsonNumber(pa.width)},
                {"height", JsonNumber(pa.height)}});
  return kExitOk;
}

Runner Declare(Declaration* d) {
  auto o = std::make_shared<CompareOptions>();
  DeclareQuiet(d, &o->report);
  d->Operands(&o->files, 2, 2, "compare takes two pictures");
  return [o] { return RunCompare(*o); };
}

}  // namespace

extern const Command kCompareCommand = {
    "compare", "A B", "A B\twhether two PNG or BMP pictures hold the same pixels",
    "Whether two PNG or BMP pictures hold the same pixels, like cmp: exit 0 the same,\n"
    "1 different (the first difference is named), 2 an error.\n",
    Declare};

}  // namespace kaldorin
