// glimmet loaded while memory runs out: its own program, because the code
// tables are built only when the library is first loaded into a process.
// Natively the load cannot be refused, so the plug-in must come up without
// tables, hold no memory and refuse to decode.
#include <gtest/gtest.h>

#include "tests/i24b_samples.h"
#include "tests/plugin_host.h"

#ifndef _WIN32
#include "platform/fault_injection.h"

namespace {

TEST(GlimmetLoadFailure, ThirdTableWorkingMemoryFails) {
  ASSERT_EQ(0, PlatformLiveHeapAllocs());
  PlatformResetFaults();
  // Two allocations per table (working memory, then the table): the fifth
  // is the working memory of OffsetTable.
  PlatformFailCall(kCallHeapAlloc, 5, kFaultError);
  Plugin glimmet;
  ASSERT_TRUE(LoadPlugin("glimmet", &glimmet));
  EXPECT_TRUE(PlatformFaultFired());
  EXPECT_EQ(5, PlatformCallsMade(kCallHeapAlloc)) << "the build goes on after a failure";
  EXPECT_EQ(0, PlatformLiveHeapAllocs()) << "tables left allocated";
  PlatformResetFaults();

  auto getPicture = glimmet.Get<GetPictureFn>("GetPicture");
  ASSERT_NE(nullptr, getPicture);
  Bytes image = MakeI24B(2, 1, {0xE6, 0x51, 0x24});
  HLOCAL info = reinterpret_cast<HLOCAL>(1);
  HLOCAL pixels = reinterpret_cast<HLOCAL>(1);
  EXPECT_EQ(4, getPicture(reinterpret_cast<LPCSTR>(image.data()), static_cast<SpiLong>(image.size()), kInputMemory,
                          &info, &pixels, nullptr, 0));
  EXPECT_EQ(nullptr, info);
  EXPECT_EQ(nullptr, pixels);
  EXPECT_EQ(0, PlatformCallsMade(kCallMmioOpen)) << "nothing is opened without tables";
  EXPECT_EQ(Resources(), LiveResources());
  UnloadPlugin(&glimmet);
  EXPECT_EQ(0, PlatformLiveHeapAllocs());
}

}  // namespace
#endif
