#include "tools/kaldorin_shared.h"

#include <stdio.h>

#include "tools/kaldorin_files.h"
#include "tools/kaldorin_progress.h"

int UsageError(const std::string& problem) {
  fprintf(stderr, "kaldorin: %s\nTry 'kaldorin --help'.\n", problem.c_str());
  return kExitUsage;
}

const HostPlugin* OpenAndPick(const Options& options, const PluginSet& set, const std::string& path, PluginKind kind,
                              DataSource* source) {
  std::string error;
  if (!OpenDataSource(path, options.offset, options.fromMemory, source, &error)) {
    ReportError(path, error);
    return nullptr;
  }
  const HostPlugin* plugin = PickPlugin(set, kind, path, source->probe);
  if (plugin != nullptr) return plugin;
  const HostPlugin* other = kind == kKindOther ? nullptr : PickPlugin(set, kKindOther, path, source->probe);
  if (other != nullptr) {
    ReportError(path, std::string("not ") + (kind == kKindPicture ? "a picture" : "an archive") + ": " +
                          other->fileName + " takes it as " + (other->kind == kKindPicture ? "a picture" : "an archive"));
  } else {
    std::string what = kind == kKindPicture ? "picture plug-in" : kind == kKindArchive ? "archive plug-in" : "plug-in";
    ReportError(path, "no " + what + " takes this file (" + std::to_string(set.plugins.size()) +
                          " plug-ins loaded from " + (options.pluginDir.empty() ? ProgramFolder() : options.pluginDir) +
                          ")");
  }
  return nullptr;
}

void PrintListing(const Options& options, const DataSource& source, const HostPlugin& plugin,
                  const std::vector<MemberRecord>& members, bool withHeader) {
  if (options.json) {
    printf("{\"file\": %s, \"plugin\": %s, \"api\": %s, \"type\": \"archive\", \"members\": [",
           JsonString(source.name).c_str(), JsonString(plugin.fileName).c_str(),
           JsonString(plugin.apiVersion).c_str());
    for (size_t i = 0; i < members.size(); ++i) {
      const MemberRecord& m = members[i];
      printf("%s\n  {\"name\": %s, \"path\": %s, \"method\": %s, \"position\": %llu, \"compsize\": %llu, "
             "\"size\": %llu, \"timestamp\": %llu}",
             i ? "," : "", JsonString(m.filename).c_str(), JsonString(m.path).c_str(), JsonString(m.method).c_str(),
             static_cast<unsigned long long>(m.position), static_cast<unsigned long long>(m.compsize),
             static_cast<unsigned long long>(m.filesize), static_cast<unsigned long long>(m.timestamp));
    }
    printf("%s]}\n", members.empty() ? "" : "\n");
    return;
  }
  if (withHeader) {
    printf("%s\n", source.name.c_str());
    printf("  plug-in   %s (%s)\n", plugin.fileName.c_str(), plugin.apiVersion.c_str());
    printf("  type      archive, %zu member%s\n", members.size(), members.size() == 1 ? "" : "s");
  }
  uint64_t total = 0;
  printf("%12s %12s  %-8s %s\n", "size", "position", "method", "name");
  for (const MemberRecord& m : members) {
    printf("%12llu %12llu  %-8s %s%s\n", static_cast<unsigned long long>(m.filesize),
           static_cast<unsigned long long>(m.position), m.method.c_str(), m.path.c_str(), m.filename.c_str());
    total += m.filesize;
  }
  printf("%12llu %12s  %-8s %zu member%s\n", static_cast<unsigned long long>(total), "", "",
         members.size(), members.size() == 1 ? "" : "s");
}

int CommitSafely(const std::string& temp, const std::string& target) {
  if (CancelRequested()) {
    RemoveQuietly(temp);
    ReportError(target, "cancelled");
    return kExitCancelled;
  }
  std::string error;
  if (!CommitTemp(temp, target, &error)) {
    ReportError(target, error);
    return kExitFailure;
  }
  return kExitOk;
}

int WriteImageSafely(const std::string& target, ImageFormat format, const RgbImage& image) {
  std::string temp = TempNameFor(target);
  std::string error;
  if (!WriteImageFile(temp, format, image, &error)) {
    RemoveQuietly(temp);
    ReportError(target, "cannot write: " + error);
    return kExitFailure;
  }
  return CommitSafely(temp, target);
}

int WriteBytesSafely(const std::string& target, const uint8_t* data, size_t size) {
  std::string temp = TempNameFor(target);
  std::string error;
  if (!WriteFileBytes(temp, data, size, &error)) {
    RemoveQuietly(temp);
    ReportError(target, "cannot write: " + error);
    return kExitFailure;
  }
  return CommitSafely(temp, target);
}
