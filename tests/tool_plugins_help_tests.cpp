// The kaldorin tool's plugins command, the plug-in folder it loads, and its
// help, version and usage errors.
#include "tests/tool_harness.h"

namespace {

TEST_F(ToolTest, PluginsListsBothPlugInsAndTheirStrings) {
  RunResult r = Run({"plugins"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, PluginFile("glimmet") + "  API 00IN, picture plug-in")) << r.out;
  EXPECT_TRUE(Contains(r.out, PluginFile("chestrel") + "  API 00AM, archive plug-in, ANSI and wide exports")) << r.out;
  EXPECT_TRUE(Contains(r.out, "KALDORIN Archive (*.DAT)")) << r.out;
  r = Run({"plugins", "--json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Contains(r.out, "{\"file\": \"" + PluginFile("glimmet") + "\", \"api\": \"00IN\", \"kind\": \"picture\", \"exports\": \"ANSI and wide\"")) << r.out;

  r = Run({"plugins", "--plugins", dir_.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "no plug-ins found")) << r.err;
}

#ifdef KALDORIN_INSTALLED_PLUGIN_DIR

// Where a copy of the tool looks for plug-ins: --plugins first, then its own
// folder when that holds a plug-in, then the installed plug-in folder beside
// it (bin/../lib/<multiarch>/kaldorin, as the Debian package lays it out).
TEST_F(ToolTest, PluginFolderOwnThenInstalled) {
  struct Case {
    const char* name;
    bool installed;      // the plug-ins in the installed folder
    bool glimmetBeside;  // glimmet alone beside the tool
    std::vector<std::string> args;
    int status;
    std::vector<std::string> printed;
    const char* absent;
  };
  RgbImage img = MakePicture(9, 4, 1);
  WritePicture(In("src.bmp"), img);
  ASSERT_EQ(Run({"encode", In("src.bmp"), "-o", In("PIC.I24")}).status, 0);
  const std::string empty = In("empty");
  fs::create_directory(empty);
  const Case cases[] = {
      {"installed folder", true, false, {"plugins"}, 0, {PluginFile("glimmet"), PluginFile("chestrel")}, nullptr},
      {"own folder first", true, true, {"plugins"}, 0, {PluginFile("glimmet")}, "chestrel"},
      {"--plugins wins", true, false, {"plugins", "--plugins", empty}, 1, {"no plug-ins found"}, nullptr},
      {"no installed folder", false, false, {"plugins"}, 1, {"/bin: no plug-ins found"}, nullptr},
      {"decode", true, false, {"decode", In("PIC.I24"), "-o", "OUT"}, 0, {}, nullptr},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string root = In("root" + std::to_string(n++));
    const std::string bin = root + "/bin";
    const std::string lib = bin + "/" + KALDORIN_INSTALLED_PLUGIN_DIR;
    fs::create_directories(bin);
    fs::copy_file(ToolPath(), bin + "/kaldorin");
    if (c.installed) {
      fs::create_directories(lib);
      for (const char* name : {"glimmet", "chestrel"}) {
        fs::copy_file(BuildDir() + "/" + PluginFile(name), lib + "/" + PluginFile(name));
      }
      fs::copy_file(BuildDir() + "/libkaldorin_platform.so", lib + "/libkaldorin_platform.so");
    }
    if (c.glimmetBeside) fs::copy_file(BuildDir() + "/" + PluginFile("glimmet"), bin + "/" + PluginFile("glimmet"));
    std::string command = "'" + bin + "/kaldorin'";
    for (const std::string& a : c.args) command += " '" + (a == "OUT" ? root + "/out.bmp" : a) + "'";
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buf[512];
    for (size_t got; (got = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, got);
    const int status = pclose(pipe);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.status) << out;
    for (const std::string& part : c.printed) EXPECT_TRUE(Contains(out, part)) << out;
    if (c.absent != nullptr) {
      EXPECT_FALSE(Contains(out, c.absent)) << out;
    }
    if (c.args[0] == "decode") ExpectSamePicture(root + "/out.bmp", img);
  }
}
#endif

// --version, the overview and each command's usage: on standard output, exit
// 0, with the command's own options and none of another command's.
TEST_F(ToolTest, VersionAndHelpTexts) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> present;
    std::string absent;
  };
  const Case cases[] = {
      {{"--version"}, {"kaldorin " KALDORIN_VERSION " (", "00IN pictures", "00AM archives"}, "usage"},
      {{"--help"}, {"usage: kaldorin [options] COMMAND", "compare A B", "--skip-existing", "--version"}, "--cancel-after"},
      {{"decode", "--help"}, {"usage: kaldorin decode", "-d DIR", "--allow-truncated", "--plugins DIR"}, "--skip-existing"},
      {{"extract", "-h", "--bogus"}, {"usage: kaldorin extract", "PATTERN", "--skip-existing", "--via-memory"}, "--background"},
      {{"help", "encode"}, {"usage: kaldorin encode", "--background COLOR", "--ignore-alpha"}, "--plugins"},
      {{"pack", "x.pak", "--help"}, {"usage: kaldorin pack", "--force"}, "--offset"},
      {{"--json", "plugins", "--help"}, {"usage: kaldorin plugins", "--verbose"}, "--format"},
      {{"help"}, {"usage: kaldorin [options] COMMAND"}, "usage: kaldorin help"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    RunResult r = Run(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    for (const std::string& text : c.present) EXPECT_TRUE(Contains(r.out, text)) << text << " in\n" << r.out;
    EXPECT_FALSE(Contains(r.out, c.absent)) << c.absent << " in\n" << r.out;
  }
}

}  // namespace

namespace {

// Options a command does not take, and options that contradict each other,
// before or after the command: a usage error naming the option and the
// command, refused before the inputs (which would all work) are read and
// before anything is written.
TEST_F(ToolTest, MisplacedAndContradictoryOptionsAreRefused) {
  WritePicture(In("p.bmp"), MakePicture(5, 3, 1));
  ASSERT_EQ(Run({"encode", In("p.bmp"), "-o", In("P.I24")}).status, 0);
  ASSERT_EQ(Run({"pack", In("G.PAK"), In("P.I24")}).status, 0);
  const std::string pic = In("P.I24"), pak = In("G.PAK"), out = In("out");
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> named;  // in the message
  };
  const Case cases[] = {
      {{"list", pak, "--background", "123456"}, {"list does not take --background"}},
      {{"encode", In("p.bmp"), "--skip-existing"}, {"encode does not take --skip-existing"}},
      {{"--via-memory", "decode", pic, "-d", out}, {"decode does not take --via-memory"}},
      {{"compare", In("p.bmp"), In("p.bmp"), "--json"}, {"compare does not take --json"}},
      {{"pack", In("N.PAK"), pic, "-o", In("x")}, {"pack does not take -o"}},
      {{"list", pak, "--version"}, {"list does not take --version"}},
      {{"list", pak, "--frobnicate"}, {"unknown option --frobnicate"}},
      {{"extract", pak, "-d", out, "-f", "--skip-existing"}, {"extract", "-f", "--skip-existing"}},
      {{"-q", "list", pak, "-v"}, {"list", "-q", "-v"}},
      {{"decode", pic, "-o", In("o.png"), "-d", out}, {"decode", "-o", "-d"}},
      {{"decode", pic, pic, "-o", In("o.png")}, {"decode", "-o"}},
      {{"decode", pic, "-o", In("o.png"), "--format", "bmp"}, {"decode", "--format", "-o"}},
      {{"encode", In("p.bmp"), "-o", In("o.i24"), "--background", "#000000", "--ignore-alpha"},
       {"encode", "--background", "--ignore-alpha"}},
      {{"extract", pak, "-d", out, "--format", "png"}, {"extract", "--format", "--decode"}},
      {{"extract", pak, "-d", out, "--allow-truncated"}, {"extract", "--allow-truncated", "--decode"}},
      {{"decode", pic, "-d"}, {"-d needs DIR"}},
      {{"list", pak, "--offset", "12x"}, {"--offset needs a byte count"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    RunResult r = Run(c.args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.err.compare(0, 10, "kaldorin: "), 0) << r.err;
    for (const std::string& text : c.named) EXPECT_TRUE(Contains(r.err, text)) << text << " in\n" << r.err;
    EXPECT_TRUE(Contains(r.err, "Try 'kaldorin ")) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"G.PAK", "P.I24", "p.bmp"}));
}

}  // namespace
