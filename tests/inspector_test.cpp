// nctool run as a process against registry files the tests make.
#include <cmath>
#include <climits>
#include <regex>

#include "test_util.h"

namespace {

using Outcome = Program::Outcome;
using Args = std::vector<std::string>;

Outcome nctool(const Args &args, const std::string &input = "") { return Program(NCTOOL_BINARY, args, ".", input).finish(); }

class Inspector : public ::testing::Test {
 protected:
  TempDir dir;
  std::string reg = dir.file("reg.db");
  void SetUp() override { makeAwkward(reg); }

  // A registry holding every type, awkward names and values, and nesting.
  void makeAwkward(const std::string &file) {
    TestNConfig h;
    ASSERT_EQ(makeRegistry(h, file, 1, 2, 16), NC_ERR_OK);
    h.setKey("/net/host", "receiver1"); h.setKey("/net/port", 8001u); h.setKey("/n", -5);
    h.setKey("/min", LLONG_MIN); h.setKey("/max", ULLONG_MAX);
    h.setKey("/d", 2.5); h.setKey("/nan", std::nan("0x5")); h.setKey("/negzero", -0.0); h.setKey("/inf", -HUGE_VAL);
    h.setKey("/b", "\x00\xff\x10", 3); h.setKey("/empty raw", nullptr, 0); h.setKey("/empty string", "");
    h.setKey("/q\"uo\\te", "say \"hi\"\n\t\x01 \xff größe");
    h.setKey("/größe/ключ", "значение"); h.setKey("/bad\xfe name", "\xc0\xaf");
    h._setKey("/no value", NC_STRING, nullptr, 0); h.createDir("/net/empty dir", 0);
    h.setKey("/deep/a/b/c/d/e", 1.0e300); h.setKey("/long", std::string(100, 'x').c_str());
    h.setKey("/blob", std::string(40, '\x11').data(), 40);  // it and /long are longer than a listing shows
  }
  Outcome on(Args args, const std::string &input = "") {
    args.insert(args.begin() + 1, reg);
    return nctool(args, input);
  }
};

// The exit status is 0 for success, 1 for a negative answer (no such key,
// damage found, the trees differ) and 2 for trouble. Each output format is
// checked in full; trouble is one line on standard error naming the file and
// the cause. Readers and refused changes leave the file as it was.
TEST_F(Inspector, CommandsAnswerByStatusOutputAndCause) {
  const std::vector<unsigned char> before = readFile(reg);
  const std::string fresh = dir.file("fresh.db"), big = dir.file("big.db"), cut = dir.file("cut.db"),
                    swapped = dir.file("swapped.db"), none = dir.file("none.db"), junk = dir.file("junk");
  std::vector<unsigned char> image = before;
  for (size_t word = 4; word < 36; word += 4) std::reverse(&image[word], &image[word + 4]);
  writeFile(swapped, image);  // a superblock alone of the other byte order
  writeFile(cut, {before.begin(), before.begin() + 3000});
  writeFile(junk, {0, '\n', 0xff, '\r'});  // no registry, and no string either
  const std::string order = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? "little" : "big";
  auto set = [&](Args a) { a.insert(a.begin(), {"set", reg}); return a; };
  // All of standard output; for status 2, the start of standard error after "nctool: ".
  struct Case { Args args; int status; std::string text; };
  auto fill = [&](Args a) { a.insert(a.begin(), {"set", fresh}); return Case{a, 0, ""}; };
  std::vector<Case> cases = {
      {{"ls", reg}, 0, "b (raw) = 00ff10\n\"bad\\xfe name\" (string) = \"\\xc0\\xaf\"\nblob (raw) = " +
       std::string(64, '1') + "... (40 bytes)\nd (double) = 2.5\ndeep/\n\"empty raw\" (raw) = (empty)\n"
       "\"empty string\" (string) = \"\"\ngröße/\ninf (double) = -inf\nlong (string) = \"" + std::string(64, 'x') +
       "\"... (100 bytes)\nmax (uint) = 18446744073709551615\nmin (int) = -9223372036854775808\nn (int) = -5\n"
       "nan (double) = nan\nnegzero (double) = -0\nnet/\n\"no value\" (string) = (no value)\n"
       "\"q\\\"uo\\\\te\" (string) = \"say \\\"hi\\\"\\n\\t\\x01 \\xff größe\"\n"},
      {{"ls", "--full", reg, "/long"}, 0, "long (string) = \"" + std::string(100, 'x') + "\"\n"},
      {{"ls", reg, "/nothing"}, 1, ""}, {{"diff", reg, reg}, 0, ""},
      {{"tree", reg, "/deep/a"}, 0, "/deep/a/\n  b/\n    c/\n      d/\n        e (double) = 1e+300\n"},
      // get prints the value alone, for scripts.
      {{"get", reg, "/net/host"}, 0, "receiver1\n"}, {{"get", reg, "/b"}, 0, "00ff10\n"},
      {{"get", reg, "/empty raw"}, 0, "\n"}, {{"get", "-b", reg, "/b"}, 0, std::string("\x00\xff\x10", 3)},
      {{"dump", reg, "/größe"}, 0, "# nctool dump 1\n[/größe]\nключ=string:значение\n"},
      // --json prints one line of JSON in the documented schema.
      {{"ls", "--json", reg, "/net"}, 0, R"({"path":"/net","type":"dir","entries":[)"
       R"({"name":"empty dir","type":"dir"},{"name":"host","type":"string","value":"receiver1"},)"
       R"({"name":"port","type":"uint","value":8001}]})" "\n"},
      {{"get", "--json", reg, "/min"}, 0, R"({"path":"/min","type":"int","value":-9223372036854775808})" "\n"},
      {{"get", "--json", reg, "/nan"}, 0, R"({"path":"/nan","type":"double","bits":"7ff8000000000005"})" "\n"},
      {{"get", "--json", reg, "/bad\xfe name"}, 0,
       R"({"path_hex":"2f626164fe206e616d65","type":"string","value_hex":"c0af"})" "\n"},
      {{"get", "--json", reg, "/no value"}, 1, R"({"path":"/no value","type":"string","value":null})" "\n"},
      // stat shows the allocator's figures, here of new files as create made them.
      {{"create", "--pages", "2", "--slots", "4", "--records", "32", big}, 0, ""}, {{"stat", big}, 0,
       "size:         8192\nbyte order:   " + order + "-endian\ngrowth unit:  2 pages (8192 bytes)\n"
       "dir batch:    4 slots\ntable:        32 records at 68, grows by 32\nmodtime:      0\n"
       "free:         7868 in 1 chunk\nmin:          7868\navg:          7868\nmax:          7868\n"
       "directories:  1\nkeys:         0\nleaked:       0 bytes in 0 areas\n"},
      {{"create", fresh}, 0, ""}, {{"stat", "--json", fresh}, 0,
       R"({"file":")" + fresh + R"(","size":4096,"byte_order":")" + order + R"(","file_length":4096,)"
       R"("growth_pages":1,"dir_batch":8,"table":{"records":16,"offset":68,"grows_by":16},"modtime":0,)"
       R"("free":{"bytes":3900,"chunks":1,"min":3900,"avg":3900,"max":3900},"directories":1,"keys":0,)"
       R"("leaked":{"bytes":0,"areas":0},"damage":0})" "\n"},
      // set parses every type's text. (The round trips check what the store holds.)
      fill({"/s", "string", "a b"}), fill({"/i", "int", "--", "-42"}), fill({"/h", "uint", "0xff"}),
      fill({"/u", "uint", "18446744073709551615"}), fill({"/f", "double", "-1e-9"}), fill({"/r", "raw", "00FF"}),
      fill({"/e", "raw", ""}), fill({"/x/y", "dir", "5"}), fill({"/i", "int", "7"}),
      fill({"/k", "raw", "--from", junk}),
      {{"dump", fresh}, 0, "# nctool dump 1\n[/]\ne=raw:\nf=double:-1e-09\nh=uint:255\ni=int:7\nk=raw:000aff0d\n"
                           "r=raw:00ff\ns=string:a b\nu=uint:18446744073709551615\n[/x]\n[/x/y]\n"},
      {{"check", reg}, 0, reg + ": intact: 9 directories, 19 keys, 0 bytes leaked\n"},
      {{"check", cut}, 1, cut + ": offset 4: size 4096 exceeds the file's 3000 bytes\n" + cut +
       ": offset 68: free area 1968+2128 lies outside the file\n" + cut + ": damaged: 2 findings\n"},
      {{"check", "--json", cut}, 1,
       R"({"file":")" + cut + R"(","intact":false,"damage":[{"offset":4,"what":"size 4096 exceeds the file's )"
       R"(3000 bytes"},{"offset":68,"what":"free area 1968+2128 lies outside the file"}],"leaks":[{"offset":1968,)"
       R"("what":"1032 bytes at 1968 not accounted for"}],"leaked_bytes":1032,"directories":9,"keys":19})" "\n"},
      {set({"/net/host", "int", "1"}), 2, reg + ": /net/host: exists as string, cannot store int"},
      {set({"/net/host/t", "int", "1"}), 2, reg + ": /net/host: not a directory"},
      {set({"/net", "string", "v"}), 2, reg + ": /net: exists as dir, cannot store string"},
      {set({"/z", "int", "12a"}), 2, reg + ": /z: \"12a\" is not a valid int value"},
      {set({"/z", "uint", "-1"}), 2, reg + ": /z: \"-1\" is not a valid uint value"},
      {set({"/z", "int", "9223372036854775808"}), 2, reg + ": /z: \"9223372036854775808\" is not a valid int value"},
      {set({"/z", "double", "1e999"}), 2, reg + ": /z: \"1e999\" is not a valid double value"},
      {set({"/z", "raw", "abc"}), 2, reg + ": /z: \"abc\" is not a valid raw value"},
      {set({"/z", "string"}), 2, reg + ": /z: a string needs a VALUE or --from"},
      {set({"/z", "blob", "1"}), 2, reg + ": unknown type \"blob\" (use dir, string, int, uint, raw or double)"},
      {set({"/s", "string", "v", "--from", junk}), 2, reg + ": /s: give a VALUE or --from, not both"},
      {set({"/s", "string", "--from", junk}), 2, reg + ": /s: strings cannot hold NUL bytes"},
      {set({"/x", "int", "--from", none}), 2, none + ": No such file or directory"},
      {{"rm", reg, "/net"}, 2, reg + ": /net: directory is not empty (use -r)"},
      {{"rm", reg, "/"}, 2, reg + ": /: cannot remove the root directory"}, {{"rm", reg, "/zz"}, 1, ""},
      {{"mv", reg, "/net", "/net/x"}, 2, reg + ": /net/x: cannot move a directory into itself"},
      {{"mv", reg, "/d", "/max"}, 2, reg + ": /max: exists already"},
      {{"create", "--records", "600", none}, 2, none + ": 600 table records do not fit in 1 growth page(s)"},
      {{"get", reg, "/net"}, 2, reg + ": /net: is a directory"},
      {{"get", junk, "/x"}, 2, junk + ": not a registry file (empty, or wrong magic number)"},
      {{"frobnicate"}, 2, "unknown command 'frobnicate'; run 'nctool --help' for the list"},
      {{"get"}, 2, "get: FILE is required; run 'nctool get --help'"},
      {{"get", cut, "/n"}, 2, cut + ": truncated: header says 4096 bytes, file has 3000"},
      {{"tree", swapped}, 2, swapped + ": of the other byte order, and damaged: "},
      {{"check", "-q", swapped}, 1, ""}, {{"create", reg}, 2, reg + ": exists already"},
      {{"export", reg, "-o", "/dev/full"}, 2, "/dev/full: No space left on device"},
      {{"ls", dir.path()}, 2, dir.path() + ": not a regular file"},
      {{"convert", "--byte-order", "big", cut, none}, 2, cut + ": damaged"},
      {{"convert", "--byte-order", "big", reg, cut}, 2, cut + ": exists already"},
      {{"ls", "--frob", reg}, 2, "ls: The following argument was not expected: --frob; run 'nctool ls --help'"},
      {{"watch", reg, "--interval", "0"}, 2, "watch: --interval: Value 0 not in range"},
      {{"convert", "--byte-order", "middle", reg, none}, 2, "convert: --byte-order: middle not in {big,little,host}"}};
  // Every command refuses paths that are not plain absolute paths, before it opens anything.
  const std::pair<std::string, std::string> paths[] = {{"/net//host", "it has an empty component ('//')"},
      {"/net/", "it ends in '/'"}, {"rel", "it must begin with '/'"}, {"", "it is empty"},
      {"/net/..", "it has a '..' component"}, {"/./net", "it has a '.' component"}};
  size_t turn = 0;
  for (Args a : {Args{"ls", reg, "P"}, {"tree", reg, "P"}, {"get", reg, "P"}, {"set", reg, "P", "int", "1"},
                 {"mkdir", reg, "P"}, {"rm", "-r", reg, "P"}, {"mv", reg, "P", "x"}, {"export", reg, "P"},
                 {"diff", reg, reg, "P"}, {"import", none, "--at", "P"}, {"mv", reg, "/n", "P"}}) {
    const auto &[path, cause] = paths[turn++ % std::size(paths)];  // mv's last gets a path, not a name
    std::replace(a.begin(), a.end(), std::string("P"), path);
    const std::string file = a[0] == "import" ? none : reg;
    cases.push_back({a, 2, file + ": \"" + path + "\": not a plain absolute path: " + cause});
  }
  for (const auto &c : cases) {
    const Outcome r = nctool(c.args);
    const bool trouble = c.status == 2;
    const long lines = std::count(r.err.begin(), r.err.end(), '\n');
    EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args.back() << ": " << r.err;
    EXPECT_EQ(trouble ? r.err.substr(0, c.text.size() + 8) : r.out, (trouble ? "nctool: " : "") + c.text) << r.err;
    EXPECT_TRUE(trouble ? lines == 1 : lines <= c.status) << r.err;
  }
  EXPECT_EQ(on({"ls", "/nothing"}).err, "nctool: " + reg + ": /nothing: no such key or directory\n");
  for (const Args &a : {Args{"stat", reg}, {"export", reg}, {"compact", reg, dir.file("c.db")}}) nctool(a);
  EXPECT_EQ(readFile(reg), before);
  EXPECT_TRUE(readFile(none).empty());
}

// rm, mv and a batch keep the tree consistent; a batch, load or import that
// fails anywhere changes nothing and names the line or the cause.
TEST_F(Inspector, EditsKeepTheTreeConsistentAndFailedOnesChangeNothing) {
  // Rename in place even where the root holds the new name; move across
  // directories, and into an existing directory.
  for (const Args &a : {Args{"rm", "-f", reg, "/zz"}, {"rm", reg, "/net/empty dir"}, {"rm", reg, "/n"},
                        {"mv", reg, "/net/host", "d"}, {"mv", reg, "/net", "/sys/network"}, {"mv", reg, "/b", "/sys"}})
    EXPECT_EQ(nctool(a).status, 0) << a[0] << " " << a.back();
  const Outcome good = on({"batch"},
                          "# set up\nmkdir /a 4\nset /a/n int -5\nset /a/s string  two  words \n\n"
                          "  set /a/my\\skey raw 00ff\nmv /a/n m\nrm -r /deep\nrm -f /zz\nmv /sys/network/port /a\n");
  ASSERT_EQ(good.status, 0) << good.err;
  EXPECT_EQ(on({"tree", "/sys"}).out, "/sys/\n  b (raw) = 00ff10\n  network/\n    d (string) = \"receiver1\"\n");
  EXPECT_EQ(on({"tree", "/a"}).out,
            "/a/\n  m (int) = -5\n  \"my key\" (raw) = 00ff\n  port (uint) = 8001\n  s (string) = \" two  words \"\n");
  for (const char *gone : {"net/", "deep/", "\nn (int)"})
    EXPECT_EQ(on({"ls"}).out.find(gone), std::string::npos) << gone;
  EXPECT_EQ(nctool({"check", "-q", reg}).status, 0);

  const std::vector<unsigned char> before = readFile(reg);
  const std::string head = R"({"format":"nctool-export","version":1,"path":"/","tree":{"type":"dir","children":)";
  const struct { const char *cmd; std::string text, cause; } cases[] = {
      {"batch", "set /c/x int 1\nrm /a/m\nset /a/s int 3\n",
       reg + ": standard input line 3: /a/s: exists as string, cannot store int; nothing was changed"},
      {"batch", "set /c/x int 1\nrm /zz\n", reg + ": standard input line 2: /zz: no such key or directory"},
      {"batch", "set /c/x int 1\nfrob /x\n", "standard input: line 2: not a batch line"},
      {"batch", "set /c//x int 1\n", "standard input: line 1: \"/c//x\": not a plain absolute path"},
      {"batch", "set /c int -- 5\n", "standard input: line 1: /c: \"-- 5\" is not a valid int value"},
      {"batch", "rm -q /c\n", "standard input: line 1: rm [-r] [-f] PATH"},
      {"load", "[/]\nk=int:1\n[/sys/network]\nd=int:2\n", "/sys/network/d: exists as string, cannot store int"},
      {"load", "[/a]\nk=int:1\nk=int:2\n", "line 3: k: appears twice"},
      {"load", "k=int:1\n", "line 1: a key before the first \"[PATH]\" line"},
      {"load", "[/a]\n[/b]\n", "line 2: /b: not below /a, where the dump begins"},
      {"load", "[/a]\nk=frob:1\n", "line 2: k: unknown type \"frob\""},
      {"load", "[/a]\nk=string:\\q\n", "line 2: k: \"\\\\q\" is not a valid string value"},
      {"load", "[/a]\nk=double:#12\n", "line 2: k: \"#12\" is not a valid double value"},
      {"load", "[/a]\nk\n", "line 2: a key line is \"name=type:value\""},
      {"load", "", "holds no \"[PATH]\" line"},
      {"import", "{not json", "not valid JSON: unexpected character at line 1, column 3"},
      {"import", "[1,\n 2,\n", "not valid JSON: unexpected end of the text"},
      {"import", R"({"format": "other"})", "not an nctool export"},
      {"import", head + R"([{"name": "max", "type": "string", "value": "x"}]}})", "/max: exists as uint, cannot store string"},
      {"import", head + R"([{"name": "z", "type": "int", "value": 1.5}]}})", "/z: \"value\" is not a 64-bit signed integer"},
      {"import", head + R"([{"name": "a/b", "type": "int", "value": 1}]}})", "a child has the unusable name \"a/b\""},
      {"import", head + R"([{"name": "z", "type": "frob"}]}})", "/z: unknown type \"frob\""}};
  for (const auto &c : cases) {
    const Outcome r = on({c.cmd}, c.text);
    EXPECT_EQ(r.status, c.cause.find("no such") != std::string::npos ? 1 : 2) << c.text;
    EXPECT_NE(r.err.find(c.cause), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_EQ(readFile(reg), before);
}

// get --raw and set --from carry every value across byte for byte;
// export/import, dump/load and compact each recreate the same tree, whatever
// bytes its names and values hold, in files of the intended modes; diff lists differences.
TEST_F(Inspector, ValuesAndTreesTravelByteForByte) {
  const std::pair<const char *, const char *> keys[] = {
      {"/b", "raw"}, {"/empty raw", "raw"}, {"/q\"uo\\te", "string"}, {"/bad\xfe name", "string"},
      {"/min", "int"}, {"/max", "uint"}, {"/negzero", "double"}, {"/deep/a/b/c/d/e", "double"}};
  for (const auto &[key, type] : keys) {
    const Outcome got = on({"get", "--raw", key});
    EXPECT_EQ(got.status + on({"set", "/copy" + std::string(key), type, "--from", "-"}, got.out).status, 0) << key;
    EXPECT_EQ(on({"get", "--raw", "/copy" + std::string(key)}).out, got.out) << key;
  }

  {
    TestNConfig h;
    ASSERT_TRUE(openAs(h, reg, NC_O_RW));
    std::string all;
    for (int b = 1; b < 256; b++) all += char(b);
    for (int b = 1; b < 256; b++)
      ASSERT_EQ(b == '/' ? NC_ERR_OK : h.setKey(("/e/" + std::string(1, char(b)) + "k").c_str(), all.c_str()), NC_ERR_OK);
    h.setKey("/e/[x", ('\0' + all).data(), unsigned(all.size() + 1));
    h.setKey("/e/#x", "#[=]");
    // Fragments, which compact does not copy.
    for (int i = 0; i < 300; i++) h.setKey(("/k/" + std::to_string(i)).c_str(), std::string(i % 50, 'v').c_str());
    for (int i = 0; i < 300; i += 2) h.delKey(("/k/" + std::to_string(i)).c_str());
  }
  const Outcome ex = on({"export"}), dump = on({"dump"});
  ASSERT_EQ(ex.status + dump.status, 0) << ex.err << dump.err;
  const std::string json = dir.file("json.db"), text = dir.file("text.db"), compact = dir.file("compact.db");
  ASSERT_EQ(nctool({"import", json}, ex.out).status, 0);
  ASSERT_EQ(nctool({"import", json}, ex.out).status, 0);  // again over the same tree: no change
  ASSERT_EQ(nctool({"create", text}).status, 0);
  ASSERT_EQ(nctool({"load", text}, dump.out).status, 0);
  ASSERT_EQ(on({"compact", compact}).status, 0);
  for (const std::string &copy : {json, text, compact}) EXPECT_EQ(contents(copy, false), contents(reg, false)) << copy;
  EXPECT_LT(readFile(compact).size(), readFile(reg).size());
  // New files take the umask's permissions; a compacted file its source's and, for root, its owner.
  const mode_t mask = umask(027);  // unlike the source's 0604 and the usual 0644 or 0600
  ASSERT_TRUE(chmod(compact.c_str(), 0604) == 0 && (geteuid() != 0 || chown(compact.c_str(), 12345, 23456) == 0));
  ASSERT_EQ(nctool({"compact", compact, compact + ".c"}).status + nctool({"create", text + ".c"}).status, 0);
  umask(mask);
  struct stat made, compacted;
  ASSERT_EQ(stat((text + ".c").c_str(), &made) + stat((compact + ".c").c_str(), &compacted), 0);
  EXPECT_EQ(std::pair(made.st_mode & 07777, compacted.st_mode & 07777), std::pair(0640u, 0604u));
  EXPECT_TRUE(geteuid() != 0 || (compacted.st_uid == 12345u && compacted.st_gid == 23456u));

  // Subtrees, recreated elsewhere, from a file and from a pipe.
  ASSERT_EQ(on({"export", "/größe", "-o", json + ".part"}).status, 0);
  ASSERT_EQ(nctool({"import", json, json + ".part", "--at", "/elsewhere/x"}).status, 0);
  ASSERT_EQ(nctool({"load", json, "/elsewhere/y"}, on({"dump", "/größe"}).out).status, 0);
  EXPECT_EQ(nctool({"tree", json, "/elsewhere"}).out,
            "/elsewhere/\n  x/\n    ключ (string) = \"значение\"\n  y/\n    ключ (string) = \"значение\"\n");
  ASSERT_EQ(nctool({"set", json, "/n", "int", "6"}).status, 0);
  const Outcome r = nctool({"diff", reg, json});
  EXPECT_EQ(r.out, "+ /elsewhere/\n- /n (int) = -5\n+ /n (int) = 6\n");
  EXPECT_EQ(r.status, 1);
}

// watch reports what another process changes, and stops when told. The edits
// outlast the watcher's start, however slow, so lines are checked by form.
TEST_F(Inspector, WatchReportsChangesOfAnotherProcess) {
  Program watch(NCTOOL_BINARY, {"watch", reg, "/net", "--interval", "20", "--count", "10", "--timeout", "60"});
  for (int i = 1; i <= 40; i++) {
    usleep(100000);
    TestNConfig h;
    ASSERT_TRUE(openAs(h, reg, NC_O_RW));
    if (i % 3 != 0) h.setKey("/net/port", static_cast<unsigned>(i));
    if (i % 6 == 3) h.setKey("/net/x y", -i);
    if (i % 6 == 0) h.delKey("/net/x y");
  }
  const Outcome r = watch.finish();
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string report = R"((changed /net/port \(uint\) = \d+|created "/net/x y" \(int\) = -\d+|removed "/net/x y")\n)";
  EXPECT_TRUE(std::regex_match(r.out, std::regex("(" + report + "){10,}"))) << r.out;
  EXPECT_TRUE(r.out.find("created") != std::string::npos && r.out.find("removed") != std::string::npos) << r.out;
  // Without changes it prints nothing and ends after --timeout.
  EXPECT_EQ(nctool({"watch", reg, "/net", "--timeout", "0.3"}).out, "");
}

TEST_F(Inspector, SalvageKeepsWhatIsSoundAndNamesWhatIsLost) {
  const std::tuple<const char *, void (*)(TestNConfig &), std::string> cases[] = {  // the damage, what salvage loses
      {"intact", [](TestNConfig &) {}, ""},
      {"value outside", [](TestNConfig &h) { h.edit("/net/port")->offset = h.lsize + 100; },
       "/net/port: its value lies outside the file"},
      {"string without end", [](TestNConfig &h) { h.edit("/net/host")->pages = 3; }, "/net/host: its string has no end"},
      {"bad type", [](TestNConfig &h) { h.edit("/d")->type = 99; }, "/d: an entry of unknown type 99"},
      {"slots outside", [](TestNConfig &h) { h.edit("/deep/a/b")->offset = h.lsize - 4; },
       "/deep/a/b: its slot array lies outside the file; its entries are lost"},
      {"cycle", [](TestNConfig &h) { h.edit("/deep/a/b")->offset = h.find("/deep")->offset;
                                     h.edit("/deep/a/b")->pages = h.find("/deep")->pages; },
       "/deep/a/b/a: its parent link is wrong"}};
  for (const auto &[what, damage, want] : cases) {
    const std::string damaged = dir.file(std::string(what) + ".db"), out = damaged + ".out";
    makeAwkward(damaged);
    { TestNConfig h; openAs(h, damaged, NC_O_RW); h.lockFile(NC_L_RW, 0); damage(h); h.unLockFile(); }
    EXPECT_NE(nctool({"tree", damaged}).status, -1) << what;  // walks end, even through a cycle
    const Outcome r = nctool({"salvage", damaged, out});
    EXPECT_EQ(r.status, want.empty() ? 0 : 1) << what << r.err;
    const size_t summary = r.out.find(damaged + ": salvaged ");
    EXPECT_EQ(r.out.substr(0, summary), want.empty() ? "" : "lost " + want + "\n") << what;
    const std::string summed = damaged + ": salvaged 9 directories and 19 keys into " + out + "; 0 lost\n";
    EXPECT_TRUE(!want.empty() || r.out.substr(summary) == summed) << r.out;
    EXPECT_EQ(nctool({"check", "-q", out}).status, 0) << what;
    EXPECT_EQ(nctool({"get", out, "/größe/ключ"}).out, "значение\n") << what;
    EXPECT_TRUE(!want.empty() || contents(out) == contents(damaged)) << what;
  }
}

// Two processes set 12 keys each at once: check finds all 24 (and their two
// directories) besides the awkward registry's 19 keys and 9 directories, in a sound file.
TEST_F(Inspector, ConcurrentSetLoopsLoseNothing) {
  auto loop = [&](const std::string &dir) {
    for (int i = 0; i < 12; i++)
      if (nctool({"set", reg, dir + "/k" + std::to_string(i), "uint", "1"}).status != 0) return false;
    return true;
  };
  const pid_t other = spawn([&] { return loop("/loop1"); });
  EXPECT_TRUE(loop("/loop0"));
  EXPECT_EQ(waitFor(other), 0);
  EXPECT_EQ(nctool({"check", reg}).out, reg + ": intact: 11 directories, 43 keys, 0 bytes leaked\n");
}

}  // namespace
