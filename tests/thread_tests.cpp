// Every export of both plug-ins called from eight threads at once, on
// different inputs and all on the same input: each call's result code,
// records and output bytes must be those of a run on one thread. Natively
// this suite also runs under ThreadSanitizer (the tsan preset).
#include <gtest/gtest.h>
#include <ctype.h>
#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/pack_samples.h"
#include "tests/plugin_exports.h"
#include "image_i24b/i24b_encoder.h"

namespace {

using namespace pack::model;

constexpr int kThreads = 8;

// One input, as a file and as a memory image.
struct Input {
  std::string name;
  Bytes data;
  std::string path;
};

// What the calls on one input gave, step by step: a step's name, then its
// result code and output bytes.
struct Step {
  std::string what;
  Bytes bytes;
};
typedef std::vector<Step> Transcript;

void Record(Transcript* t, const std::string& what, long code, const void* data = nullptr, size_t n = 0) {
  Step s{what, {}};
  PutLe32(&s.bytes, static_cast<uint32_t>(code));
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (n != 0) s.bytes.insert(s.bytes.end(), p, p + n);
  t->push_back(std::move(s));
}

// Counts progress calls and sums their arguments, so that a call made with
// other numbers or another thread's data changes the transcript.
struct ProgressTally {
  uint32_t calls = 0;
  uint32_t sum = 0;
};

int SPI_CALL TallyProgress(int num, int denom, SpiLong lData) {
  ProgressTally* tally = reinterpret_cast<ProgressTally*>(lData);
  ++tally->calls;
  tally->sum = tally->sum * 31 + static_cast<uint32_t>(num) * 7 + static_cast<uint32_t>(denom);
  return 0;
}

struct Plugins {
  GlimmetExports glimmet;
  ChestrelExports chestrel;
};

void CallPluginInfo(GetPluginInfoFn getPluginInfo, const std::string& who, Transcript* t) {
  for (int infono = -1; infono <= 6; ++infono) {
    char buf[96];
    memset(buf, 0x5A, sizeof buf);
    int n = getPluginInfo(infono, buf, sizeof buf);
    Record(t, who + " GetPluginInfo " + std::to_string(infono), n, buf, sizeof buf);
  }
}

void CallProbes(IsSupportedFn isSupported, const std::string& who, const Input& in, Transcript* t) {
  Bytes probe = ProbeOf(in.data);
  Record(t, who + " IsSupported buffer", isSupported(in.path.c_str(), reinterpret_cast<SpiDword>(probe.data())));
  SpiDword h = OpenHostHandle(in.path);
  Record(t, who + " IsSupported handle", isSupported(in.path.c_str(), h));
  Record(t, who + " handle position after the probe", HostHandlePosition(h));
  CloseHostHandle(h);
}

void CallGlimmet(const GlimmetExports& g, const Input& in, Transcript* t) {
  CallPluginInfo(g.getPluginInfo, "glimmet", t);
  CallProbes(g.isSupported, "glimmet", in, t);
  for (bool fromFile : {true, false}) {
    const std::string how = fromFile ? " file" : " memory";
    LPCSTR src = fromFile ? in.path.c_str() : AsSource(in.data);
    const SpiLong len = fromFile ? 0 : SizeOf(in.data);
    const unsigned flag = fromFile ? kInputFile : kInputMemory;
    PictureInfo info;
    memset(&info, 0x5A, sizeof info);
    Record(t, "GetPictureInfo" + how, g.getPictureInfo(src, len, flag, &info), &info, sizeof info);

    HLOCAL header = nullptr;
    HLOCAL pixels = nullptr;
    ProgressTally tally;
    int r = g.getPicture(src, len, flag, &header, &pixels, TallyProgress, reinterpret_cast<SpiLong>(&tally));
    Record(t, "GetPicture" + how, r, &tally, sizeof tally);
    Bytes bytes = TakeBlock(header);
    Record(t, "GetPicture header" + how, 0, bytes.data(), bytes.size());
    bytes = TakeBlock(pixels);
    Record(t, "GetPicture pixels" + how, 0, bytes.data(), bytes.size());
  }
  // The wide entry point: the same decode, the name as UTF-16.
  HLOCAL header = nullptr;
  HLOCAL pixels = nullptr;
  ProgressTally tally;
  const std::u16string widePath = Utf16(in.path);
  int r = g.getPictureW(AsWide(widePath), 0, kInputFile, &header, &pixels, TallyProgress,
                        reinterpret_cast<SpiLong>(&tally));
  Record(t, "GetPictureW file", r, &tally, sizeof tally);
  Bytes bytes = TakeBlock(header);
  Bytes pixelBytes = TakeBlock(pixels);
  bytes.insert(bytes.end(), pixelBytes.begin(), pixelBytes.end());
  Record(t, "GetPictureW blocks", 0, bytes.data(), bytes.size());
}

// GetFile of the member at `position` of the file to memory and into
// `outDir`; the written file is read back and removed.
void ExtractMember(const ChestrelExports& c, const Input& in, uintptr_t position, const std::string& name,
                   const std::string& outDir, Transcript* t) {
  const std::string tag = " " + std::to_string(position);
  HLOCAL h = nullptr;
  ProgressTally tally;
  int r = c.getFile(in.path.c_str(), static_cast<SpiLong>(position), reinterpret_cast<LPSTR>(&h), kToMemory,
                    TallyProgress, reinterpret_cast<SpiLong>(&tally));
  Bytes bytes = TakeBlock(h);
  Record(t, "GetFile to memory" + tag, r, &tally, sizeof tally);
  Record(t, "GetFile to memory, bytes" + tag, 0, bytes.data(), bytes.size());

  tally = ProgressTally();
  r = c.getFile(in.path.c_str(), static_cast<SpiLong>(position), const_cast<LPSTR>(outDir.c_str()), 0,
                TallyProgress, reinterpret_cast<SpiLong>(&tally));
  Record(t, "GetFile to a file" + tag, r, &tally, sizeof tally);
  const std::string written = outDir + "/" + name;
  bytes.clear();
  bool exists = ReadWholeFile(written, &bytes);
  Record(t, "GetFile to a file, bytes" + tag, exists ? 1 : 0, bytes.data(), bytes.size());
  remove(written.c_str());
}

void CallChestrel(const ChestrelExports& c, const Input& in, const std::string& outDir, Transcript* t) {
  CallPluginInfo(c.getPluginInfo, "chestrel", t);
  CallProbes(c.isSupported, "chestrel", in, t);

  std::vector<fileInfo> members;
  for (bool fromFile : {true, false}) {
    const std::string how = fromFile ? " file" : " memory";
    LPCSTR src = fromFile ? in.path.c_str() : AsSource(in.data);
    const SpiLong len = fromFile ? 0 : SizeOf(in.data);
    const unsigned flag = fromFile ? kInputFile : kInputMemory;
    HLOCAL h = nullptr;
    int r = c.getArchiveInfo(src, len, flag, &h);
    Bytes listing = TakeBlock(h);
    Record(t, "GetArchiveInfo" + how, r, listing.data(), listing.size());
    if (fromFile) {
      const std::u16string widePath = Utf16(in.path);
      h = nullptr;
      int wide = c.getArchiveInfoW(AsWide(widePath), 0, kInputFile, &h);
      Bytes wideListing = TakeBlock(h);
      Record(t, "GetArchiveInfoW file", wide, wideListing.data(), wideListing.size());
    }
    if (fromFile) {
      for (size_t at = 0; at + sizeof(fileInfo) <= listing.size(); at += sizeof(fileInfo)) {
        fileInfo record;
        memcpy(&record, listing.data() + at, sizeof record);
        if (record.method[0] != 0) members.push_back(record);
      }
    }
    // Every member by name, once as stored and once in lower case without
    // regard to case, and a name no member has.
    std::vector<std::pair<std::string, unsigned>> names = {{"MISSING.BIN", 0u}};
    for (const fileInfo& m : members) {
      std::string lower = m.filename;
      for (char& ch : lower) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
      names.push_back({m.filename, 0u});
      names.push_back({lower, kFlagIgnoreCase});
    }
    for (const auto& n : names) {
      fileInfo record;
      memset(&record, 0x5A, sizeof record);
      r = c.getFileInfo(src, len, n.first.c_str(), flag | n.second, &record);
      Record(t, "GetFileInfo " + n.first + how, r, &record, sizeof record);
    }
  }
  for (const fileInfo& m : members) ExtractMember(c, in, m.position, m.filename, outDir, t);
  // A position no member has.
  ExtractMember(c, in, 1, "none", outDir, t);

  // The whole memory image as the member "noname".
  HLOCAL h = nullptr;
  int r = c.getFile(AsSource(in.data), SizeOf(in.data), reinterpret_cast<LPSTR>(&h), kInputMemory | kToMemory,
                    nullptr, 0);
  Bytes bytes = TakeBlock(h);
  Record(t, "GetFile memory to memory", r, bytes.data(), bytes.size());
  r = c.getFile(AsSource(in.data), SizeOf(in.data), const_cast<LPSTR>(outDir.c_str()), kInputMemory, nullptr, 0);
  bytes.clear();
  bool exists = ReadWholeFile(outDir + "/noname", &bytes);
  Record(t, "GetFile memory to a file", r * 2 + (exists ? 1 : 0), bytes.data(), bytes.size());
  remove((outDir + "/noname").c_str());
}

// Every export of both plug-ins on one input.
Transcript CallEverything(const Plugins& p, const Input& in, const std::string& outDir) {
  Transcript t;
  CallGlimmet(p.glimmet, in, &t);
  CallChestrel(p.chestrel, in, outDir, &t);
  return t;
}

// Where a transcript first differs from the expected one, or "".
std::string FirstDifference(const Transcript& expected, const Transcript& got) {
  for (size_t i = 0; i < expected.size() && i < got.size(); ++i) {
    if (expected[i].what != got[i].what) return "step " + expected[i].what + " became " + got[i].what;
    if (expected[i].bytes != got[i].bytes) return expected[i].what;
  }
  return expected.size() == got.size() ? "" : "a different number of steps";
}

// A picture with smooth areas, edges and noise, so that the coded stream
// holds runs, small and explicit deltas.
Bytes EncodedPicture(uint32_t width, uint32_t height, uint32_t seed) {
  Bytes rgb(size_t{3} * width * height);
  uint32_t x = seed;
  for (uint32_t row = 0; row < height; ++row) {
    for (uint32_t col = 0; col < width; ++col) {
      x = x * 1103515245u + 12345u;
      uint8_t* px = &rgb[(size_t{row} * width + col) * 3];
      const bool noisy = ((row / 8 + col / 8 + seed) % 3) == 0;
      px[0] = static_cast<uint8_t>(noisy ? x >> 16 : row * 2 + seed);
      px[1] = static_cast<uint8_t>(noisy ? x >> 20 : col * 3);
      px[2] = static_cast<uint8_t>(col < width / 2 ? 40 : 200);
    }
  }
  Bytes out;
  std::string error;
  EXPECT_TRUE(i24b::EncodeI24B(rgb.data(), width, height, &out, nullptr, nullptr, nullptr, &error)) << error;
  return out;
}

// Releases its threads together once all of them have arrived; reusable.
class SpinBarrier {
 public:
  explicit SpinBarrier(int n) : n_(n) {}
  void ArriveAndWait() {
    const int generation = generation_.load();
    if (arrived_.fetch_add(1) + 1 == n_) {
      arrived_.store(0);
      generation_.fetch_add(1);
      return;
    }
    while (generation_.load() == generation) std::this_thread::yield();
  }

 private:
  const int n_;
  std::atomic<int> arrived_{0};
  std::atomic<int> generation_{0};
};

class PluginThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadPlugin("glimmet", &glimmet_));
    ASSERT_TRUE(LoadPlugin("chestrel", &chestrel_));
    ASSERT_TRUE(FindExports(glimmet_, &plugins_.glimmet));
    ASSERT_TRUE(FindExports(chestrel_, &plugins_.chestrel));
    before_ = LiveResources();
  }
  void TearDown() override {
    EXPECT_EQ(before_, LiveResources()) << "a block or stream leaked";
    UnloadPlugin(&chestrel_);
    UnloadPlugin(&glimmet_);
  }

  void AddInput(const std::string& name, const Bytes& data) { inputs_.push_back({name, data, dir_.Write(name, data)}); }

  Plugin glimmet_;
  Plugin chestrel_;
  Plugins plugins_;
  Resources before_;
  ScratchDir dir_;
  std::vector<Input> inputs_;
};

TEST_F(PluginThreads, EveryExportFromEightThreadsMatchesOneThread) {
  AddInput("wide.i24", EncodedPicture(157, 61, 1));
  AddInput("tall.i24", EncodedPicture(23, 140, 2));
  AddInput("tiny.i24", EncodedPicture(1, 1, 3));
  AddInput("members.pak",
           MakePack({{"A.TXT", PatternBytes(100, 1)}, {"BIG.BIN", PatternBytes(70001, 2)}, {"EMPTY.DAT", {}}}));
  AddInput("one.dat", MakePack({{"Readme.TXT", PatternBytes(31, 3)}}));
  Bytes broken = MakePack({{"A.TXT", PatternBytes(10, 4)}, {"B.TXT", PatternBytes(10, 5)}});
  broken[4] = 80;  // DirectoryEnd points past the terminator: lookups work, the listing fails
  AddInput("broken.pak", broken);
  Bytes cut = EncodedPicture(40, 40, 6);
  cut.resize(cut.size() / 2);  // the coded data ends early
  AddInput("cut.i24", cut);
  AddInput("empty.bin", {});

  // Expected transcripts, from one thread.
  ScratchDir single;
  std::vector<Transcript> expected;
  for (const Input& in : inputs_) {
    expected.push_back(CallEverything(plugins_, in, single.path()));
    ASSERT_GE(expected.back().size(), 40u);
  }

  // Each thread has its own output folder; results are checked after the
  // threads end (GoogleTest's assertions are not thread-safe everywhere).
  std::vector<std::unique_ptr<ScratchDir>> outDirs;
  for (int i = 0; i < kThreads; ++i) outDirs.push_back(std::make_unique<ScratchDir>());
  std::vector<std::string> failures(kThreads);
  std::vector<int> callsMade(kThreads, 0);

  // Every round starts behind a barrier, so that the threads enter their
  // calls together; how many were inside CallEverything at once is noted.
  SpinBarrier barrier(kThreads);
  std::atomic<int> running{0};
  std::atomic<int> mostAtOnce{0};
  struct Phase {
    const char* what;
    bool sameInput;
    int rounds;
  } phases[] = {{"different inputs", false, 3}, {"the same input", true, 2}};
  for (const Phase& phase : phases) {
    for (size_t shared = 0; shared < (phase.sameInput ? inputs_.size() : 1); ++shared) {
      std::vector<std::thread> threads;
      for (int id = 0; id < kThreads; ++id) {
        threads.emplace_back([&, id] {
          for (int round = 0; round < phase.rounds; ++round) {
            const size_t which = phase.sameInput ? shared : (static_cast<size_t>(id) + round) % inputs_.size();
            barrier.ArriveAndWait();
            int now = running.fetch_add(1) + 1;
            int seen = mostAtOnce.load();
            while (now > seen && !mostAtOnce.compare_exchange_weak(seen, now)) {
            }
            Transcript got = CallEverything(plugins_, inputs_[which], outDirs[id]->path());
            running.fetch_sub(1);
            ++callsMade[id];
            std::string diff = FirstDifference(expected[which], got);
            if (!diff.empty() && failures[id].empty()) {
              failures[id] = std::string(phase.what) + ", " + inputs_[which].name + ": " + diff;
            }
          }
        });
      }
      for (std::thread& th : threads) th.join();
    }
  }
  // On two cores and with calls of well under a millisecond, a single round
  // may run its threads one after another; over the whole run they overlap.
  printf("at most %d of %d threads were inside their calls at once\n", mostAtOnce.load(), kThreads);
  EXPECT_GE(mostAtOnce.load(), 2) << "the threads never overlapped";
  for (int id = 0; id < kThreads; ++id) {
    EXPECT_EQ("", failures[id]) << "thread " << id;
    EXPECT_GT(callsMade[id], 0);
  }
}

// Eight threads extract every member of two archives large enough for
// chestrel's directory index by position, and look each up by name, each
// thread switching archives after every member, so that the index is
// replaced while other threads look up in it: every member's result and
// bytes are those of one thread.
TEST_F(PluginThreads, LookupsByPositionInTwoIndexedArchives) {
  for (int a = 0; a < 2; ++a) {
    std::vector<PackMember> members;
    for (int i = 0; i < 1500; ++i) {
      char name[16];
      snprintf(name, sizeof name, "M%05d.BIN", i);
      members.push_back({name, PatternBytes((i + a) % 3, static_cast<uint32_t>(i))});
    }
    AddInput(a == 0 ? "first.pak" : "second.pak", MakePack(members));
  }
  std::vector<std::vector<uintptr_t>> positions(2);
  std::vector<Transcript> expected(2);
  for (int a = 0; a < 2; ++a) {
    const Bytes& data = inputs_[a].data;
    for (uint64_t at : EntryOffsets(data.data(), data.size(), data.size())) positions[a].push_back(at);
    for (uintptr_t at : positions[a]) {
      HLOCAL h = nullptr;
      int r = plugins_.chestrel.getFile(inputs_[a].path.c_str(), static_cast<SpiLong>(at), reinterpret_cast<LPSTR>(&h),
                                        kToMemory, nullptr, 0);
      Bytes bytes = TakeBlock(h);
      Record(&expected[a], std::to_string(at), r, bytes.data(), bytes.size());
    }
  }
  // Each member's position as a lookup by name on one thread gives it.
  constexpr size_t kNamed = 1500;
  auto LowerName = [](size_t i) {
    char name[16];
    snprintf(name, sizeof name, "m%05d.bin", static_cast<int>(i));
    return std::string(name);
  };
  std::vector<std::vector<uint32_t>> named(2, std::vector<uint32_t>(kNamed));
  for (int a = 0; a < 2; ++a) {
    for (size_t j = 0; j < kNamed; ++j) {
      fileInfo info{};
      ASSERT_EQ(kResultOk, plugins_.chestrel.getFileInfo(inputs_[a].path.c_str(), 0, LowerName(j).c_str(),
                                                         kFlagIgnoreCase, &info));
      named[a][j] = info.position;
    }
  }
  std::vector<std::string> failures(kThreads);
  SpinBarrier barrier(kThreads);
  std::vector<std::thread> threads;
  for (int id = 0; id < kThreads; ++id) {
    threads.emplace_back([&, id] {
      barrier.ArriveAndWait();
      for (size_t k = 0; k < positions[0].size() && failures[id].empty(); ++k) {
        const int a = static_cast<int>((k + static_cast<size_t>(id)) % 2);
        const size_t i = (k * 7 + static_cast<size_t>(id) * 131) % positions[a].size();
        HLOCAL h = nullptr;
        int r = plugins_.chestrel.getFile(inputs_[a].path.c_str(), static_cast<SpiLong>(positions[a][i]),
                                          reinterpret_cast<LPSTR>(&h), kToMemory, nullptr, 0);
        Bytes bytes = TakeBlock(h);
        Transcript got;
        Record(&got, std::to_string(positions[a][i]), r, bytes.data(), bytes.size());
        if (got[0].what != expected[a][i].what || got[0].bytes != expected[a][i].bytes) {
          failures[id] = inputs_[a].name + " at " + got[0].what;
        }
        // A member by name, through the index by name.
        const size_t j = (k * 7 + static_cast<size_t>(id) * 131) % kNamed;
        fileInfo info{};
        r = plugins_.chestrel.getFileInfo(inputs_[a].path.c_str(), 0, LowerName(j).c_str(), kFlagIgnoreCase, &info);
        if (r != kResultOk || info.position != named[a][j]) failures[id] = inputs_[a].name + " named " + LowerName(j);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int id = 0; id < kThreads; ++id) EXPECT_EQ("", failures[id]) << "thread " << id;
}

}  // namespace
