// nctool run as a process against registry files the tests make.
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <tuple>

#include "test_util.h"
#include "tree_walk.h"

namespace {

using Outcome = Program::Outcome;
using Args = std::vector<std::string>;

Outcome nctool(const Args &args, const std::string &input = "") {
  return Program(NCTOOL_BINARY, args, ".", input).finish();
}

// An independent rendering of a tree, read through the store: one line per
// entry with its type and stored bytes. Equal texts, equal trees.
std::string dumpTree(TestNConfig &h, const std::string &path) {
  std::string out;
  nctest::eachEntry(h, path, [&](const std::string &child, uint32_t type) {
    const nc_de_s *e = h.find(child.c_str());
    out += child + " " + std::to_string(type) + " ";
    if (type != NC_DIR) out += e->offset ? std::string(h.data + e->offset, e->pages) : "(none)";
    out += "\n";
  });
  return out;
}

struct Opened : TestNConfig {
  explicit Opened(const std::string &file, int mode = NC_O_RW) {
    setName(file.c_str());
    EXPECT_EQ(open(mode), NC_ERR_OK) << file;
  }
};

std::string dumpFile(const std::string &file) {
  Opened h(file, NC_O_RO);
  return dumpTree(h, "/");
}

class Inspector : public ::testing::Test {
 protected:
  TempDir dir;
  std::string reg = dir.file("reg.db");

  // A registry holding every type, awkward names and values, and nesting.
  void makeAwkward(const std::string &file) {
    TestNConfig h;
    ASSERT_EQ(makeRegistry(h, file, 1, 2, 16), NC_ERR_OK);
    h.setKey("/net/host", "receiver1"); h.setKey("/net/port", 8001u); h.setKey("/n", -5);
    h.setKey("/min", std::numeric_limits<long long>::min());
    h.setKey("/max", std::numeric_limits<unsigned long long>::max());
    h.setKey("/d", 2.5); h.setKey("/nan", std::nan("0x5")); h.setKey("/negzero", -0.0); h.setKey("/inf", -HUGE_VAL);
    h.setKey("/b", "\x00\xff\x10", 3); h.setKey("/empty raw", nullptr, 0); h.setKey("/empty string", "");
    h.setKey("/q\"uo\\te", "say \"hi\"\n\t\x01 \xff größe");
    h.setKey("/größe/ключ", "значение"); h.setKey("/bad\xfe name", "\xc0\xaf");
    h._setKey("/no value", NC_STRING, nullptr, 0); h.createDir("/empty dir", 0);
    h.setKey("/deep/a/b/c/d/e", 1.0e300);
  }
  // Runs `args` with `reg` after the command name.
  Outcome on(Args args, const std::string &input = "") {
    args.insert(args.begin() + 1, reg);
    return nctool(args, input);
  }
  Outcome set(Args args) {
    args.insert(args.begin(), "set");
    return on(args);
  }
  std::string refusal(const std::string &file, const std::string &cause) {
    return "nctool: " + file + ": " + cause + "\n";
  }
};

TEST_F(Inspector, CreateAndStatShowTheAllocatorFigures) {
  EXPECT_EQ(on({"create"}).status, 0);
  EXPECT_NE(on({"stat"}).out.find("free:         3900 in 1 chunk\nmin:          3900\n"), std::string::npos);
  const std::string big = dir.file("big.db");
  EXPECT_EQ(nctool({"create", "--pages", "2", "--slots", "4", "--records", "32", big}).status, 0);
  const Outcome r = nctool({"stat", big});
  EXPECT_NE(r.out.find("free:         7868 in 1 chunk\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("dir batch:    4 slots\n"), std::string::npos) << r.out;
}

TEST_F(Inspector, ListingsAndGetShowTypesAndEscapedValues) {
  makeAwkward(reg);
  Opened(reg).setKey("/long", std::string(100, 'x').c_str());
  Opened(reg).setKey("/blob", std::string(40, '\xab').data(), 40);
  std::string abab;
  for (int i = 0; i < 32; i++) abab += "ab";
  Outcome r = on({"ls"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "b (raw) = 00ff10\n"
            "\"bad\\xfe name\" (string) = \"\\xc0\\xaf\"\n"
            "blob (raw) = " + abab + "... (40 bytes)\n"
            "d (double) = 2.5\n"
            "deep/\n"
            "\"empty dir\"/\n"
            "\"empty raw\" (raw) = (empty)\n"
            "\"empty string\" (string) = \"\"\n"
            "größe/\n"
            "inf (double) = -inf\n"
            "long (string) = \"" + std::string(64, 'x') + "\"... (100 bytes)\n"
            "max (uint) = 18446744073709551615\n"
            "min (int) = -9223372036854775808\n"
            "n (int) = -5\n"
            "nan (double) = nan\n"
            "negzero (double) = -0\n"
            "net/\n"
            "\"no value\" (string) = (no value)\n"
            "\"q\\\"uo\\\\te\" (string) = \"say \\\"hi\\\"\\n\\t\\x01 \\xff größe\"\n");
  EXPECT_EQ(on({"tree", "/deep/a"}).out, "/deep/a/\n  b/\n    c/\n      d/\n        e (double) = 1e+300\n");
  EXPECT_EQ(nctool({"ls", "--full", reg, "/long"}).out,
            "long (string) = \"" + std::string(100, 'x') + "\"\n");
  r = on({"ls", "/nothing"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, refusal(reg, "/nothing: no such key or directory"));
  // get prints the value alone, for scripts.
  for (const auto &[key, out] : {std::pair<const char *, const char *>{"/net/host", "receiver1\n"},
                                 {"/min", "-9223372036854775808\n"}, {"/b", "00ff10\n"}, {"/empty raw", "\n"}})
    EXPECT_EQ(on({"get", key}).out, out) << key;
  EXPECT_EQ(nctool({"get", "-b", reg, "/b"}).out, std::string("\x00\xff\x10", 3));
}

TEST_F(Inspector, SetStoresEachTypeAndRefusesWithoutChanging) {
  ASSERT_EQ(on({"create"}).status, 0);
  for (const Args &a : {Args{"/s", "string", "a b"}, {"/i", "int", "--", "-42"}, {"/h", "uint", "0xff"},
                        {"/u", "uint", "18446744073709551615"}, {"/f", "double", "-1e-9"},
                        {"/r", "raw", "00FF"}, {"/e", "raw", ""}, {"/x/y", "dir", "5"}, {"/i", "int", "7"}})
    EXPECT_EQ(set(a).status, 0) << a[0];
  auto bytes = [](auto v) { return std::string(reinterpret_cast<const char *>(&v), sizeof v); };
  EXPECT_EQ(dumpFile(reg), "/x 1 \n/x/y 1 \n/u 4 " + bytes(~0ull) + "\n/s 2 " + std::string("a b", 4) +
                               "\n/r 5 " + std::string("\0\xff", 2) + "\n/i 3 " + bytes(7ll) + "\n/h 4 " +
                               bytes(255ull) + "\n/f 6 " + bytes(-1e-9) + "\n/e 5 (none)\n");

  // Refusals name the file and the cause, and leave the file as it was.
  const std::vector<unsigned char> before = readFile(reg);
  const std::pair<Args, std::string> refusals[] = {
      {{"/s", "int", "1"}, "/s: exists as string, cannot store int"},
      {{"/s/t", "int", "1"}, "/s: not a directory"},
      {{"/x", "string", "v"}, "/x: exists as dir, cannot store string"},
      {{"/n", "int", "12a"}, "/n: \"12a\" is not a valid int value"},
      {{"/n", "uint", "-1"}, "/n: \"-1\" is not a valid uint value"},
      {{"/n", "int", "9223372036854775808"}, "/n: \"9223372036854775808\" is not a valid int value"},
      {{"/n", "double", "1e999"}, "/n: \"1e999\" is not a valid double value"},
      {{"/n", "raw", "abc"}, "/n: \"abc\" is not a valid raw value"},
      {{"/n", "string"}, "/n: a string needs a VALUE or --from"},
      {{"/n", "blob", "1"}, "unknown type \"blob\" (use dir, string, int, uint, raw or double)"}};
  for (const auto &[a, cause] : refusals) {
    const Outcome r = set(a);
    EXPECT_EQ(r.status, 2) << cause;
    EXPECT_EQ(r.err, refusal(reg, cause));
  }
  EXPECT_EQ(readFile(reg), before);
}

// get --raw and set --from carry every value across byte for byte.
TEST_F(Inspector, RawValuesTravelThroughFilesAndPipes) {
  makeAwkward(reg);
  const std::pair<const char *, const char *> keys[] = {
      {"/b", "raw"}, {"/empty raw", "raw"}, {"/q\"uo\\te", "string"}, {"/bad\xfe name", "string"},
      {"/min", "int"}, {"/max", "uint"}, {"/negzero", "double"}, {"/deep/a/b/c/d/e", "double"}};
  for (const auto &[key, type] : keys) {
    const Outcome got = on({"get", "--raw", key});
    ASSERT_EQ(got.status, 0) << key << got.err;
    EXPECT_EQ(on({"set", "/copy", type, "--from", "-"}, got.out).status, 0) << key;
    EXPECT_EQ(on({"get", "--raw", "/copy"}).out, got.out) << key;
    EXPECT_EQ(on({"rm", "/copy"}).status, 0);
  }
  const std::string bin = dir.file("key.bin");
  writeFile(bin, {0, '\n', 0xff, '\r'});
  EXPECT_EQ(on({"set", "/k", "raw", "--from", bin}).status, 0);
  EXPECT_EQ(on({"get", "/k"}).out, "000aff0d\n");
  EXPECT_EQ(on({"set", "/s", "string", "--from", bin}).err, refusal(reg, "/s: strings cannot hold NUL bytes"));
}

TEST_F(Inspector, RmAndMvKeepTheTreeConsistentAndReadersChangeNothing) {
  makeAwkward(reg);
  const std::string other = dir.file("other.db");
  makeAwkward(other);
  const std::vector<unsigned char> before = readFile(reg);
  for (const Args &args : {Args{"ls", reg}, {"tree", reg}, {"get", reg, "/d"}, {"stat", reg}, {"check", reg},
                           {"export", reg}, {"diff", reg, other}, {"compact", reg, dir.file("c.db")},
                           {"get", reg, "/nothing"}}) {
    nctool(args);
    EXPECT_EQ(readFile(reg), before) << args[0];
  }

  EXPECT_EQ(on({"rm", "/net"}).err, refusal(reg, "/net: directory is not empty (use -r)"));
  EXPECT_EQ(on({"rm", "/"}).err, refusal(reg, "/: cannot remove the root directory"));
  EXPECT_EQ(on({"rm", "/zz"}).status, 1);
  EXPECT_EQ(nctool({"rm", "-f", reg, "/zz"}).status, 0);
  EXPECT_EQ(on({"rm", "/empty dir"}).status, 0);
  EXPECT_EQ(on({"rm", "/n"}).status, 0);
  EXPECT_EQ(nctool({"rm", "-r", reg, "/deep"}).status, 0);
  // Rename in place even where the root holds the new name; move across
  // directories, and into an existing directory.
  EXPECT_EQ(on({"mv", "/net/host", "d"}).status, 0);
  EXPECT_EQ(on({"mv", "/net", "/sys/network"}).status, 0);
  EXPECT_EQ(on({"mv", "/b", "/sys"}).status, 0);
  EXPECT_EQ(on({"mv", "/sys", "/sys/network/x"}).err,
            refusal(reg, "/sys/network/x: cannot move a directory into itself"));
  EXPECT_EQ(on({"mv", "/d", "/max"}).err, refusal(reg, "/max: exists already"));
  EXPECT_EQ(on({"tree", "/sys"}).out,
            "/sys/\n  b (raw) = 00ff10\n  network/\n"
            "    d (string) = \"receiver1\"\n    port (uint) = 8001\n");
  for (const char *gone : {"net/", "deep/"}) EXPECT_EQ(on({"ls"}).out.find(gone), std::string::npos) << gone;
  EXPECT_EQ(nctool({"check", "-q", reg}).status, 0);
}

TEST_F(Inspector, ExportImportAndCompactRecreateTheSameTree) {
  makeAwkward(reg);
  const std::string original = dumpFile(reg);
  const Outcome ex = on({"export"});
  ASSERT_EQ(ex.status, 0) << ex.err;
  const std::string copy = dir.file("copy.db");
  ASSERT_EQ(nctool({"import", copy}, ex.out).status, 0);
  EXPECT_EQ(dumpFile(copy), original);
  EXPECT_EQ(nctool({"diff", reg, copy}).status, 0);
  EXPECT_EQ(nctool({"import", copy}, ex.out).status, 0);  // again over the same tree: no change
  EXPECT_EQ(dumpFile(copy), original);

  // A subtree, exported to a file and recreated elsewhere.
  const std::string part = dir.file("part.json");
  ASSERT_EQ(on({"export", "/größe", "-o", part}).status, 0);
  ASSERT_EQ(nctool({"import", copy, part, "--at", "/elsewhere/x"}).status, 0);
  EXPECT_EQ(nctool({"get", copy, "/elsewhere/x/ключ"}).out, "значение\n");
  // Differences are listed and reported by the exit status.
  ASSERT_EQ(nctool({"set", copy, "/n", "int", "6"}).status, 0);
  const Outcome r = nctool({"diff", reg, copy});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "+ /elsewhere/\n- /n (int) = -5\n+ /n (int) = 6\n");

  // Compact writes the same tree into a fresh file without fragments.
  {
    Opened h(reg);
    for (int i = 0; i < 300; i++) h.setKey(("/k/" + std::to_string(i)).c_str(), std::string(i % 50, 'v').c_str());
    for (int i = 0; i < 300; i += 2) h.delKey(("/k/" + std::to_string(i)).c_str());
  }
  const std::string compact = dir.file("compact.db");
  ASSERT_EQ(on({"compact", compact}).status, 0);
  EXPECT_EQ(dumpFile(compact), dumpFile(reg));
  EXPECT_LT(readFile(compact).size(), readFile(reg).size());
  EXPECT_NE(nctool({"stat", compact}).out.find("in 1 chunk\n"), std::string::npos);
}

// A dump loaded into an empty registry dumps again byte for byte, whatever
// bytes the names and values hold.
TEST_F(Inspector, DumpAndLoadKeepEveryByte) {
  makeAwkward(reg);
  {
    Opened h(reg);
    std::string all;
    for (int b = 1; b < 256; b++) all += char(b);
    for (int b = 1; b < 256; b++)
      ASSERT_EQ(b == '/' ? NC_ERR_OK : h.setKey(("/e/" + std::string(1, char(b)) + "k").c_str(), all.c_str()), NC_ERR_OK);
    h.setKey("/e/[x", ('\0' + all).data(), unsigned(all.size() + 1));
    h.setKey("/e/#x", "#[=]");
  }
  const Outcome dump = on({"dump"});
  ASSERT_EQ(dump.status, 0) << dump.err;
  const std::string copy = dir.file("copy.db");
  ASSERT_EQ(nctool({"create", copy}).status, 0);
  ASSERT_EQ(nctool({"load", copy}, dump.out).status, 0);
  EXPECT_EQ(nctool({"dump", copy}).out, dump.out);
  EXPECT_EQ(dumpFile(copy), dumpFile(reg));

  // A subtree, loaded elsewhere.
  const Outcome part = on({"dump", "/größe"});
  EXPECT_EQ(part.out, "# nctool dump 1\n[/größe]\nключ=string:значение\n");
  ASSERT_EQ(nctool({"load", copy, "/elsewhere/x"}, part.out).status, 0);
  EXPECT_EQ(nctool({"get", copy, "/elsewhere/x/ключ"}).out, "значение\n");
}

// Trouble is status 2 and one line naming the file and the cause.
TEST_F(Inspector, TroubleIsNamedWithItsCause) {
  makeAwkward(reg);
  const std::string cut = dir.file("cut.db");
  std::vector<unsigned char> image = readFile(reg);
  image.resize(3000);
  writeFile(cut, image);
  const std::string none = dir.file("none.db"), junk = dir.file("junk"), x = dir.file("x");
  writeFile(junk, {1, 2, 3, 4, 5, 6, 7, 8});
  const std::pair<Args, std::string> cases[] = {
      {{"create", reg}, reg + ": exists already"},
      {{"create", "--records", "600", x}, x + ": 600 table records do not fit in 1 growth page(s)"},
      {{"get", reg, "/net"}, reg + ": /net: is a directory"},
      {{"get", junk, "/x"}, junk + ": not a registry file (empty, or wrong magic number)"},
      {{"set", reg, "/s", "string", "v", "--from", junk}, reg + ": /s: give a VALUE or --from, not both"},
      {{"frobnicate"}, "unknown command 'frobnicate'; run 'nctool --help' for the list"},
      {{"get"}, "get: FILE is required; run 'nctool get --help'"},
      {{"get", cut, "/n"}, cut + ": truncated: header says 4096 bytes, file has 3000"},
      {{"export", reg, "-o", "/dev/full"}, "/dev/full: No space left on device"},
      {{"ls", dir.path()}, dir.path() + ": not a regular file"},
      {{"set", reg, "/x", "int", "--from", none}, none + ": No such file or directory"},
      {{"convert", "--byte-order", "big", cut, none}, cut + ": damaged"},
      {{"convert", "--byte-order", "big", reg, cut}, cut + ": exists already"},
      {{"ls", "--frob", reg}, "ls: The following argument was not expected: --frob; run 'nctool ls --help'"},
      {{"watch", reg, "--interval", "0"}, "watch: --interval: Value 0 not in range"},
      {{"convert", "--byte-order", "middle", reg, none}, "convert: --byte-order: middle not in {big,little,host}"}};
  for (const auto &[args, cause] : cases) {
    const Outcome r = nctool(args, "[/a]\n");
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_EQ(r.err.rfind("nctool: " + cause, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_FALSE(readFile(none).size());
  EXPECT_FALSE(readFile(x).size());
}

// A batch applies every line; a batch, load or import that fails anywhere
// changes nothing and names the line or the cause.
TEST_F(Inspector, BatchLoadAndImportAreAllOrNothing) {
  makeAwkward(reg);
  const Outcome good = on({"batch"},
                          "# set up\nmkdir /a 4\nset /a/n int -5\nset /a/s string  two  words \n\n"
                          "  set /a/my\\skey raw 00ff\nmv /a/n m\nrm -r /deep\nrm -f /zz\nmv /net/port /a\n");
  ASSERT_EQ(good.status, 0) << good.err;
  EXPECT_EQ(on({"tree", "/a"}).out,
            "/a/\n  m (int) = -5\n  \"my key\" (raw) = 00ff\n  port (uint) = 8001\n"
            "  s (string) = \" two  words \"\n");
  EXPECT_EQ(on({"ls", "/deep"}).status, 1);

  const std::vector<unsigned char> before = readFile(reg);
  const std::string head =
      R"({"format": "nctool-export", "version": 1, "path": "/", "tree": {"type": "dir", "children": )";
  const struct { const char *cmd; std::string text, cause; } cases[] = {
      {"batch", "set /c/x int 1\nrm /a/m\nset /a/s int 3\n",
       reg + ": standard input line 3: /a/s: exists as string, cannot store int; nothing was changed"},
      {"batch", "set /c/x int 1\nrm /zz\n", reg + ": standard input line 2: /zz: no such key or directory"},
      {"batch", "mkdir /c\nmv /c /c/c\n", "line 2: /c/c: cannot move a directory into itself"},
      {"batch", "set /c/x int 1\nfrob /x\n", "standard input: line 2: not a batch line"},
      {"batch", "set /c//x int 1\n", "standard input: line 1: \"/c//x\": not a plain absolute path"},
      {"batch", "set /c int -- 5\n", "standard input: line 1: /c: \"-- 5\" is not a valid int value"},
      {"batch", "rm -q /c\n", "standard input: line 1: rm [-r] [-f] PATH"},
      {"load", "[/]\nk=int:1\n[/net]\nhost=int:2\n", "/net/host: exists as string, cannot store int"},
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
      {"import", head + R"([{"name": "n", "type": "string", "value": "x"}]}})", "/n: exists as int, cannot store string"},
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

// --json prints one line of JSON in the documented schema.
TEST_F(Inspector, JsonOutputForScripts) {
  makeAwkward(reg);
  const std::pair<Args, std::string> cases[] = {
      {{"ls", "--json", reg, "/net"},
       R"({"path":"/net","type":"dir","entries":[{"name":"host","type":"string","value":"receiver1"},)"
       R"({"name":"port","type":"uint","value":8001}]})"},
      {{"ls", "--json", reg, "/deep"}, R"({"path":"/deep","type":"dir","entries":[{"name":"a","type":"dir"}]})"},
      {{"get", "--json", reg, "/min"}, R"({"path":"/min","type":"int","value":-9223372036854775808})"},
      {{"get", "--json", reg, "/nan"}, R"({"path":"/nan","type":"double","bits":"7ff8000000000005"})"},
      {{"get", "--json", reg, "/bad\xfe name"}, R"({"path_hex":"2f626164fe206e616d65","type":"string","value_hex":"c0af"})"},
      {{"get", "--json", reg, "/no value"}, R"({"path":"/no value","type":"string","value":null})"}};
  for (const auto &[args, want] : cases) {
    const Outcome r = nctool(args);
    EXPECT_EQ(r.out, want + "\n") << args[3];
    EXPECT_EQ(r.status, args[3] == "/no value" ? 1 : 0) << args[3];
  }
  const bool little = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
  const Outcome stat = nctool({"stat", "--json", reg});
  EXPECT_EQ(stat.out.rfind(R"({"file":")" + reg + R"(","size":4096,"byte_order":")" + (little ? "little" : "big") + R"(","file_length":4096,"growth_pages":1,)", 0), 0u)
      << stat.out;
  EXPECT_NE(stat.out.find(R"("leaked":{"bytes":0,"areas":0},"damage":0})"), std::string::npos) << stat.out;
  std::vector<unsigned char> image = readFile(reg);
  image.resize(3000);
  writeFile(reg, image);
  const Outcome check = nctool({"check", "--json", reg});
  EXPECT_EQ(check.status, 1);
  EXPECT_NE(check.out.find(R"("intact":false,"damage":[{"offset":4,"what":"size 4096 exceeds)"), std::string::npos)
      << check.out;
}

// New files take the umask's permissions; a compacted file its source's
// permissions, and, for root, its owner.
TEST_F(Inspector, FilesKeepTheirOwnersIntent) {
  const bool root = geteuid() == 0;
  using Modes = std::tuple<mode_t, mode_t, mode_t>;  // umask, source, created
  for (const auto &[mask, source, created] : {Modes{022, 0640, 0644}, {077, 0604, 0600}, {002, 0660, 0664}}) {
    const mode_t old = umask(mask);
    const std::string made = dir.file(std::to_string(mask) + ".db"), compact = made + ".c";
    EXPECT_EQ(nctool({"create", made}).status, 0);
    struct stat st;
    ASSERT_EQ(stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, created) << std::oct << mask;
    ASSERT_EQ(chmod(made.c_str(), source), 0);
    ASSERT_TRUE(!root || chown(made.c_str(), 12345, 23456) == 0);
    EXPECT_EQ(nctool({"compact", made, compact}).status, 0);
    ASSERT_EQ(stat(compact.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, source) << std::oct << source;
    EXPECT_TRUE(!root || (st.st_uid == 12345u && st.st_gid == 23456u));
    umask(old);
  }
}

// watch reports what another process changes, and stops when told. The edits
// outlast the watcher's start, however slow, so lines are checked by form.
TEST_F(Inspector, WatchReportsChangesOfAnotherProcess) {
  makeAwkward(reg);
  Program watch(NCTOOL_BINARY, {"watch", reg, "/net", "--interval", "20", "--count", "10", "--timeout", "60"});
  for (int i = 1; i <= 40; i++) {
    usleep(100000);
    Opened h(reg);
    if (i % 3 != 0) h.setKey("/net/port", static_cast<unsigned>(i));
    if (i % 6 == 3) h.setKey("/net/x y", -i);
    if (i % 6 == 0) h.delKey("/net/x y");
  }
  const Outcome r = watch.finish();
  EXPECT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.out);
  std::map<std::string, int> kinds;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line.rfind("changed /net/port (uint) = ", 0) == 0 || line == "removed \"/net/x y\"" ||
                line.rfind("created \"/net/x y\" (int) = -", 0) == 0) << line;
    kinds[line.substr(0, 7)]++;
  }
  EXPECT_GE(kinds["changed"] + kinds["created"] + kinds["removed"], 10);
  EXPECT_GE(kinds["created"], 1);
  EXPECT_GE(kinds["removed"], 1);
  // Without changes it prints nothing and ends after --timeout.
  EXPECT_EQ(nctool({"watch", reg, "/net", "--timeout", "0.3"}).out, "");
}

TEST_F(Inspector, SalvageKeepsWhatIsSoundAndNamesWhatIsLost) {
  const struct Case {
    const char *what;
    std::function<void(TestNConfig &)> damage;
    std::vector<std::string> lost;
  } cases[] = {
      {"intact", [](TestNConfig &) {}, {}},
      {"value outside", [](TestNConfig &h) { h.edit("/net/port")->offset = h.lsize + 100; },
       {"lost /net/port: its value lies outside the file"}},
      {"string without end", [](TestNConfig &h) { h.edit("/net/host")->pages = 3; },
       {"lost /net/host: its string has no end"}},
      {"bad type", [](TestNConfig &h) { h.edit("/d")->type = 99; }, {"lost /d: an entry of unknown type 99"}},
      {"bad parent", [](TestNConfig &h) { h.edit("/deep/a")->parent = 36; }, {"lost /deep/a: its parent link is wrong"}},
      {"slots outside", [](TestNConfig &h) { h.edit("/deep/a/b")->offset = h.lsize - 4; },
       {"lost /deep/a/b: its slot array lies outside the file; its entries are lost"}},
      {"cycle", [](TestNConfig &h) { h.edit("/deep/a/b")->offset = h.find("/deep")->offset;
                                     h.edit("/deep/a/b")->pages = h.find("/deep")->pages; },
       {"lost /deep/a/b/a: its parent link is wrong"}}};
  for (const auto &c : cases) {
    const std::string damaged = dir.file(std::string(c.what) + ".db"), out = damaged + ".out";
    makeAwkward(damaged);
    {
      Opened h(damaged);
      h.lockFile(NC_L_RW, 0);
      c.damage(h);
      h.unLockFile();
    }
    EXPECT_NE(nctool({"tree", damaged}).status, -1) << c.what;  // walks end, even through a cycle
    const Outcome r = nctool({"salvage", damaged, out});
    EXPECT_EQ(r.status, c.lost.empty() ? 0 : 1) << c.what << r.err;
    std::vector<std::string> lost;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("lost ", 0) == 0) lost.push_back(line);
    EXPECT_EQ(lost, c.lost) << c.what;
    EXPECT_EQ(nctool({"check", "-q", out}).status, 0) << c.what;
    EXPECT_EQ(nctool({"get", out, "/größe/ключ"}).out, "значение\n") << c.what;
    EXPECT_TRUE(!c.lost.empty() || dumpFile(out) == dumpFile(damaged)) << c.what;
  }
}

// Files of either byte order convert back and forth unchanged, and every
// command reads and edits them in place, keeping their order.
TEST_F(Inspector, EitherByteOrderIsReadAndEdited) {
  makeAwkward(reg);
  const std::vector<unsigned char> original = readFile(reg);
  const std::string big = dir.file("big.db"), little = dir.file("little.db");
  ASSERT_EQ(nctool({"convert", "--byte-order", "big", reg, big}).status, 0);
  ASSERT_EQ(nctool({"convert", "--byte-order", "little", big, little}).status, 0);
  EXPECT_EQ(readFile(little)[28], 36);  // the root's offset, least significant byte first
  EXPECT_EQ(readFile(big)[31], 36);     // and last

  const std::string &host = readFile(big) == original ? big : little, &other = host == big ? little : big;
  EXPECT_EQ(readFile(host), original);
  EXPECT_EQ(nctool({"convert", "--byte-order", "host", other, dir.file("back.db")}).status, 0);
  EXPECT_EQ(readFile(dir.file("back.db")), original);

  const std::string dump = nctool({"dump", reg}).out;
  EXPECT_EQ(nctool({"dump", other}).out, dump);
  for (const Args &a : {Args{"set", other, "/n", "int", "--", "-6"}, {"rm", "-r", other, "/deep"},
                        {"mv", other, "/net/host", "h"}, {"batch", other}, {"load", other}})
    EXPECT_EQ(nctool(a, a[0] == "batch" ? "set /z uint 1\n" : "[/l]\nd=double:0.5\n").status, 0) << a[0];
  const std::string edited = nctool({"dump", other}).out;
  for (const char *line : {"n=int:-6\n", "h=string:receiver1\n", "z=uint:1\n", "[/l]\nd=double:0.5\n"})
    EXPECT_NE(edited.find(line), std::string::npos) << line;
  EXPECT_EQ(edited.find("[/deep]"), std::string::npos);
  EXPECT_EQ(readFile(other)[0 + 28 + (other == big ? 3 : 0)], 36) << "keeps its byte order";
  EXPECT_EQ(nctool({"check", "-q", other}).status, 0);
  ASSERT_EQ(nctool({"compact", other, dir.file("c.db")}).status, 0);
  EXPECT_EQ(readFile(dir.file("c.db"))[28 + (other == big ? 3 : 0)], 36) << "compact keeps the order";
  EXPECT_EQ(nctool({"dump", dir.file("c.db")}).out, edited);

  // A file whose superblock alone is of the other byte order is damaged.
  std::vector<unsigned char> image = readFile(reg);
  for (size_t word = 4; word < 36; word += 4) std::reverse(&image[word], &image[word + 4]);
  writeFile(reg, image);
  const Outcome r = on({"tree"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(": of the other byte order, and damaged: "), std::string::npos) << r.err;
  EXPECT_EQ(nctool({"check", "-q", reg}).status, 1);
}

// Every command refuses paths that are not plain absolute paths, before it
// opens anything; none of them changes the file or creates one.
TEST_F(Inspector, PathsThatAreNotPlainAbsolutePathsAreRefused) {
  makeAwkward(reg);
  const std::vector<unsigned char> before = readFile(reg);
  const std::pair<std::string, std::string> paths[] = {
      {"//rel", "it has an empty component ('//')"}, {"/net//host", "it has an empty component ('//')"},
      {"/net/", "it ends in '/'"}, {"rel", "it must begin with '/'"}, {"", "it is empty"},
      {"/net/..", "it has a '..' component"}, {"/./net", "it has a '.' component"}};
  const std::string fresh = dir.file("fresh.db");
  for (const auto &[path, cause] : paths) {
    const std::string want = refusal(reg, "\"" + path + "\": not a plain absolute path: " + cause);
    for (const Args &a : {Args{"ls", reg, path}, {"tree", reg, path}, {"get", reg, path},
                          {"set", reg, path, "int", "1"}, {"mkdir", reg, path}, {"rm", "-r", reg, path},
                          {"mv", reg, path, "x"}, {"mv", reg, "/n", path}, {"export", reg, path},
                          {"diff", reg, reg, path}}) {
      if (a[0] == "mv" && a[3] == path && path.find('/') == std::string::npos) continue;  // a name
      const Outcome r = nctool(a);
      EXPECT_EQ(r.status, 2) << a[0] << " " << path;
      EXPECT_EQ(r.err, want) << a[0];
    }
    EXPECT_EQ(nctool({"import", fresh, "--at", path}, "{}").status, 2) << path;
  }
  EXPECT_EQ(readFile(reg), before);
  EXPECT_TRUE(readFile(fresh).empty());
}

// Two processes setting keys at once: every key arrives, the file stays sound.
TEST_F(Inspector, ConcurrentSetLoopsLoseNothing) {
  ASSERT_EQ(nctool({"create", reg}).status, 0);
  auto key = [](int l, int i) { return "/loop" + std::to_string(l) + "/k" + std::to_string(i); };
  pid_t loops[2];
  for (int l = 0; l < 2; l++)
    if ((loops[l] = fork()) == 0) {
      for (int i = 0; i < 12; i++)
        if (nctool({"set", reg, key(l, i), "uint", std::to_string(i)}).status != 0) _exit(1);
      _exit(0);
    }
  for (pid_t p : loops) {
    int ws = 0;
    waitpid(p, &ws, 0);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
  }
  for (int l = 0; l < 2; l++)
    for (int i = 0; i < 12; i++) EXPECT_EQ(nctool({"get", reg, key(l, i)}).out, std::to_string(i) + "\n");
  EXPECT_EQ(nctool({"check", "-q", reg}).status, 0);
}

}  // namespace
