// Each plug-in loaded, used and unloaded a thousand times in one process:
// every load must really load it (glimmet builds its tables each time),
// every unload must really unload it and leave nothing behind. Natively the
// platform's counters must be back at zero after each unload; on Windows
// the process's private memory must not grow across the cycles.
#include <gtest/gtest.h>

#include <stdio.h>

#include <chrono>
#include <functional>
#include <string>

#include "tests/i24b_samples.h"
#include "tests/pack_samples.h"
#include "tests/plugin_exports.h"
#include "tests/process_memory.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using namespace pack::model;

constexpr int kCycles = 1000;
// Cycles before the memory baseline is taken (heap and loader caches settle).
constexpr int kWarmUp = 50;
// What the process may gain over the remaining cycles: far less than one
// leaked set of glimmet's tables per cycle would add up to.
constexpr uint64_t kGrowthBound = 2u << 20;

// Whether plug-in `name` is loaded in this process now.
bool IsLoaded(const std::string& name) {
#ifdef _WIN32
  return GetModuleHandleA(PluginFile(name).c_str()) != nullptr;
#else
  void* module = dlopen((BuildDir() + "/" + PluginFile(name)).c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (module != nullptr) dlclose(module);
  return module != nullptr;
#endif
}

// Loads plug-in `name`, runs `use` on it and unloads it kCycles times. Natively
// each unload must bring the live blocks, streams and heap allocations back
// to zero; `tablesWhileLoaded` says whether the plug-in holds heap memory
// while loaded.
void Cycle(const std::string& name, bool tablesWhileLoaded, const std::function<void(const Plugin&)>& use) {
  ASSERT_FALSE(IsLoaded(name));
  ASSERT_EQ(Resources(), LiveResources());
  const auto start = std::chrono::steady_clock::now();
  uint64_t baseline = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    if (cycle == kWarmUp) baseline = PrivateBytes();
    Plugin plugin;
    ASSERT_TRUE(LoadPlugin(name, &plugin));
    if (kHaveFaultInjection) {
      ASSERT_EQ(tablesWhileLoaded, LiveResources().heap > 0);
    }
    use(plugin);
    if (::testing::Test::HasFatalFailure()) return;
    UnloadPlugin(&plugin);
    ASSERT_FALSE(IsLoaded(name)) << "the unload left the library loaded";
    ASSERT_EQ(Resources(), LiveResources()) << "left behind by a load, use and unload";
  }
  const uint64_t end = PrivateBytes();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("%s: %d cycles in %.2f s; private bytes %llu after %d cycles, %llu at the end\n", PluginFile(name).c_str(), kCycles,
         seconds, static_cast<unsigned long long>(baseline), kWarmUp, static_cast<unsigned long long>(end));
  if (kMemoryMeasurable) {
    EXPECT_LE(end, baseline + kGrowthBound) << "memory grew across the cycles";
  }
}

#ifdef _WIN32
// The multimedia library that both plug-ins import stays loaded, as in a
// host that plays sound or has loaded another plug-in: the cycles then
// measure the plug-ins, not Wine loading and unloading winmm and its
// dependencies each time.
const HMODULE gWinmm = LoadLibraryA("winmm.dll");
#endif

TEST(LoadCycles, Glimmet) {
  // The 2 x 1 picture whose pixel block is FC 03 FD FC 03 FD 00 00.
  const Bytes picture = MakeI24B(2, 1, {0xE6, 0x51, 0x24});
  const Bytes pixels = {0xFC, 0x03, 0xFD, 0xFC, 0x03, 0xFD, 0x00, 0x00};
  Cycle("glimmet", true, [&](const Plugin& plugin) {
    GlimmetExports g;
    ASSERT_TRUE(FindExports(plugin, &g));
    char buf[8];
    ASSERT_EQ(4, g.getPluginInfo(0, buf, sizeof buf));
    ASSERT_STREQ("00IN", buf);
    HLOCAL header = nullptr;
    HLOCAL bitmap = nullptr;
    ASSERT_EQ(0, g.getPicture(AsSource(picture), SizeOf(picture), kInputMemory, &header, &bitmap, nullptr, 0));
    ASSERT_EQ(40u, TakeBlock(header).size());
    ASSERT_EQ(pixels, TakeBlock(bitmap));
  });
}

TEST(LoadCycles, Chestrel) {
  const Bytes archive = TinyPack();
  Cycle("chestrel", false, [&](const Plugin& plugin) {
    ChestrelExports c;
    ASSERT_TRUE(FindExports(plugin, &c));
    char buf[8];
    ASSERT_EQ(4, c.getPluginInfo(0, buf, sizeof buf));
    ASSERT_STREQ("00AM", buf);
    HLOCAL listing = nullptr;
    ASSERT_EQ(0, c.getArchiveInfo(AsSource(archive), SizeOf(archive), kInputMemory, &listing));
    ASSERT_EQ(2 * sizeof(fileInfo), TakeBlock(listing).size());
    HLOCAL member = nullptr;
    ASSERT_EQ(0, c.getFile(AsSource(archive) + 40, 3, reinterpret_cast<LPSTR>(&member), kInputMemory | kToMemory,
                           nullptr, 0));
    ASSERT_EQ(Bytes({'a', 'b', 'c'}), TakeBlock(member));
  });
}

}  // namespace
