// nctool run as a process against registry files the tests make.
#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>
#include <set>
#include <limits>
#include <map>

#include "test_util.h"

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
  nc_ls_s *list = h.ls(path.c_str());
  for (nc_ls_s *l = list; l && l->name; ++l) {
    const std::string child = (path == "/" ? "" : path) + "/" + l->name;
    const nc_de_s *e = h.find(child.c_str());
    out += child + " " + std::to_string(e->type) + " ";
    if (e->type == NC_DIR) out += "\n" + dumpTree(h, child);
    else out += (e->offset ? std::string(h.data + e->offset, e->pages) : "(none)") + "\n";
    free(l->name);
  }
  free(list);
  return out;
}

std::string dumpFile(const std::string &file) {
  TestNConfig h;
  h.setName(file.c_str());
  EXPECT_EQ(h.open(NC_O_RO), NC_ERR_OK) << file;
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
    h.setKey("/net/host", "receiver1");
    h.setKey("/net/port", 8001u);
    h.setKey("/n", -5);
    h.setKey("/min", std::numeric_limits<long long>::min());
    h.setKey("/max", std::numeric_limits<unsigned long long>::max());
    h.setKey("/d", 2.5);
    h.setKey("/nan", std::nan("0x5"));
    h.setKey("/negzero", -0.0);
    h.setKey("/inf", -HUGE_VAL);
    h.setKey("/b", "\x00\xff\x10", 3);
    h.setKey("/empty raw", nullptr, 0);
    h.setKey("/empty string", "");
    h.setKey("/q\"uo\\te", "say \"hi\"\n\t\x01 \xff größe");
    h.setKey("/größe/ключ", "значение");
    h.setKey("/bad\xfe name", "\xc0\xaf");
    h._setKey("/no value", NC_STRING, nullptr, 0);
    h.createDir("/empty dir", 0);
    h.setKey("/deep/a/b/c/d/e", 1.0e300);
  }
  // Runs `args` with `reg` after the command name.
  Outcome on(Args args, const std::string &input = "") {
    args.insert(args.begin() + 1, reg);
    return nctool(args, input);
  }
  std::string refusal(const std::string &file, const std::string &cause) {
    return "nctool: " + file + ": " + cause + "\n";
  }
};

TEST_F(Inspector, CreateAndStatShowTheAllocatorFigures) {
  EXPECT_EQ(on({"create"}).status, 0);
  Outcome r = on({"stat"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("size:         4096\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("free:         3900 in 1 chunk\nmin:          3900\n"
                       "avg:          3900\nmax:          3900\n"),
            std::string::npos)
      << r.out;
  const std::string big = dir.file("big.db");
  EXPECT_EQ(nctool({"create", "--pages", "2", "--slots", "4", "--records", "32", big}).status, 0);
  r = nctool({"stat", big});
  EXPECT_NE(r.out.find("free:         7868 in 1 chunk\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("dir batch:    4 slots\n"), std::string::npos) << r.out;

  // Refusals name the file and the cause on one line.
  r = on({"create"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, refusal(reg, "exists already"));
  r = nctool({"create", "--records", "600", dir.file("x")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, refusal(dir.file("x"), "600 table records do not fit in 1 growth page(s)"));
  EXPECT_TRUE(readFile(dir.file("x")).empty());
}

TEST_F(Inspector, ListingsShowTypesAndEscapedShortenedValues) {
  makeAwkward(reg);
  {
    TestNConfig h;
    h.setName(reg.c_str());
    h.open(NC_O_RW);
    h.setKey("/long", std::string(100, 'x').c_str());
    h.setKey("/blob", std::string(40, '\xab').data(), 40);
  }
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
  EXPECT_EQ(on({"tree", "/net/port"}).out, "/net/port (uint) = 8001\n");
  EXPECT_EQ(on({"tree", "/größe"}).out, "/größe/\n  ключ (string) = \"значение\"\n");
  EXPECT_EQ(nctool({"ls", "--full", reg, "/long"}).out,
            "long (string) = \"" + std::string(100, 'x') + "\"\n");
  r = on({"ls", "/nothing"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, refusal(reg, "/nothing: no such key or directory"));
}

TEST_F(Inspector, GetPrintsTheValueAloneForScripts) {
  makeAwkward(reg);
  const std::pair<const char *, std::string> values[] = {
      {"/net/host", "receiver1\n"}, {"/net/port", "8001\n"}, {"/min", "-9223372036854775808\n"},
      {"/d", "2.5\n"}, {"/b", "00ff10\n"}, {"/empty string", "\n"}, {"/empty raw", "\n"}};
  for (const auto &[key, out] : values) EXPECT_EQ(on({"get", key}).out, out) << key;
  EXPECT_EQ(nctool({"get", "-b", reg, "/b"}).out, std::string("\x00\xff\x10", 3));

  Outcome r = on({"get", "/net"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, refusal(reg, "/net: is a directory"));
  EXPECT_EQ(on({"get", "/no value"}).err, refusal(reg, "/no value: has no value"));
  r = nctool({"get", dir.file("missing.db"), "/x"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, refusal(dir.file("missing.db"), "No such file or directory"));
  writeFile(dir.file("junk"), {1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(nctool({"get", dir.file("junk"), "/x"}).err,
            refusal(dir.file("junk"), "not a registry file (empty, or wrong magic number)"));

  // A file whose superblock alone is of the other byte order is damaged.
  std::vector<unsigned char> image = readFile(reg);
  for (size_t word = 4; word < 36; word += 4) std::reverse(&image[word], &image[word + 4]);
  writeFile(reg, image);
  for (const char *cmd : {"tree", "stat"}) {
    r = on({cmd});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(": of the other byte order, and damaged: "), std::string::npos) << r.err;
  }
  EXPECT_EQ(nctool({"check", "-q", reg}).status, 1);
}

TEST_F(Inspector, SetStoresEachTypeAndRefusesWithoutChanging) {
  ASSERT_EQ(on({"create"}).status, 0);
  for (const Args &a : {Args{"/s", "string", "a b"}, {"/i", "int", "--", "-42"}, {"/h", "uint", "0xff"},
                        {"/u", "uint", "18446744073709551615"}, {"/f", "double", "-1e-9"},
                        {"/r", "raw", "00FF"}, {"/e", "raw", ""}, {"/x/y", "dir", "5"}, {"/i", "int", "7"}}) {
    Args args = {"set"};
    args.insert(args.end(), a.begin(), a.end());
    EXPECT_EQ(on(args).status, 0) << a[0];
  }
  auto bytes = [](auto v) { return std::string(reinterpret_cast<const char *>(&v), sizeof v); };
  EXPECT_EQ(dumpFile(reg), "/x 1 \n/x/y 1 \n/u 4 " + bytes(~0ull) + "\n/s 2 " + std::string("a b", 4) +
                               "\n/r 5 " + std::string("\0\xff", 2) + "\n/i 3 " + bytes(7ll) + "\n/h 4 " +
                               bytes(255ull) + "\n/f 6 " + bytes(-1e-9) + "\n/e 5 (none)\n");

  // Every refusal is one line naming the file and the cause, and leaves the
  // file as it was.
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
    Args args = {"set"};
    args.insert(args.end(), a.begin(), a.end());
    const Outcome r = on(args);
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
  EXPECT_EQ(on({"set", "/s", "string", "v", "--from", bin}).err,
            refusal(reg, "/s: give a VALUE or --from, not both"));
  EXPECT_EQ(on({"set", "/s", "string", "--from", dir.file("none")}).err,
            refusal(dir.file("none"), "No such file or directory"));
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
  const std::string listing = on({"ls"}).out;
  EXPECT_EQ(listing.find("net/"), std::string::npos);
  EXPECT_EQ(listing.find("deep/"), std::string::npos);
  EXPECT_EQ(nctool({"check", "-q", reg}).status, 0);
}

TEST_F(Inspector, ExportImportAndCompactRecreateTheSameTree) {
  makeAwkward(reg);
  const std::string original = dumpFile(reg);
  const Outcome ex = on({"export"});
  ASSERT_EQ(ex.status, 0) << ex.err;
  const std::string copy = dir.file("copy.db");
  Outcome r = nctool({"import", copy}, ex.out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dumpFile(copy), original);
  EXPECT_EQ(nctool({"export", copy}).out, ex.out);
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
  r = nctool({"diff", reg, copy});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "+ /elsewhere/\n- /n (int) = -5\n+ /n (int) = 6\n");

  // Compact writes the same tree into a fresh file without fragments.
  {
    TestNConfig h;
    h.setName(reg.c_str());
    ASSERT_EQ(h.open(NC_O_RW), NC_ERR_OK);
    for (int i = 0; i < 300; i++)
      h.setKey(("/k/" + std::to_string(i)).c_str(), std::string(i % 50, 'v').c_str());
    for (int i = 0; i < 300; i += 2) h.delKey(("/k/" + std::to_string(i)).c_str());
  }
  const std::string compact = dir.file("compact.db");
  ASSERT_EQ(on({"compact", compact}).status, 0);
  EXPECT_EQ(dumpFile(compact), dumpFile(reg));
  EXPECT_LT(readFile(compact).size(), readFile(reg).size());
  EXPECT_NE(nctool({"stat", compact}).out.find("in 1 chunk\n"), std::string::npos);
  EXPECT_EQ(nctool({"check", "-q", compact}).status, 0);
  EXPECT_EQ(on({"compact", compact}).err, refusal(compact, "exists already"));
}

// A dump loaded into an empty registry dumps again byte for byte, and two
// dumps differ in just the lines of the keys that differ.
TEST_F(Inspector, DumpAndLoadKeepEveryByte) {
  makeAwkward(reg);
  const Outcome dump = on({"dump"});
  ASSERT_EQ(dump.status, 0) << dump.err;
  const std::string copy = dir.file("copy.db");
  ASSERT_EQ(nctool({"create", copy}).status, 0);
  const Outcome load = nctool({"load", copy}, dump.out);
  ASSERT_EQ(load.status, 0) << load.err;
  EXPECT_EQ(nctool({"dump", copy}).out, dump.out);
  EXPECT_EQ(dumpFile(copy), dumpFile(reg));

  ASSERT_EQ(nctool({"set", copy, "/net/port", "uint", "8002"}).status, 0);
  const std::string changed = nctool({"dump", copy}).out;
  std::vector<std::string> a, b, onlyA, onlyB;
  for (auto [text, lines] : {std::pair{&dump.out, &a}, {&changed, &b}}) {
    std::istringstream in(*text);
    for (std::string line; std::getline(in, line);) lines->push_back(line);
  }
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(onlyA));
  std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(onlyB));
  EXPECT_EQ(onlyA, std::vector<std::string>{"port=uint:8001"});
  EXPECT_EQ(onlyB, std::vector<std::string>{"port=uint:8002"});

  // A subtree, loaded elsewhere.
  const Outcome part = on({"dump", "/größe"});
  EXPECT_EQ(part.out, "# nctool dump 1\n[/größe]\nключ=string:значение\n");
  ASSERT_EQ(nctool({"load", copy, "/elsewhere/x"}, part.out).status, 0);
  EXPECT_EQ(nctool({"get", copy, "/elsewhere/x/ключ"}).out, "значение\n");
}

// Every byte a name or value may hold survives a dump and a load, and each
// key stays on a line of its own.
TEST_F(Inspector, DumpEscapesEveryByte) {
  TestNConfig h;
  ASSERT_EQ(makeRegistry(h, reg), NC_ERR_OK);
  std::string all, every;
  for (int b = 1; b < 256; b++) all += char(b);
  for (int b = 0; b < 256; b++) every += char(b);
  for (int b = 1; b < 256; b++) {
    if (b == '/') continue;
    const std::string key = "/d/" + std::string(1, char(b)) + "k";
    ASSERT_EQ(h.setKey(key.c_str(), all.c_str()), NC_ERR_OK) << b;
  }
  h.setKey("/d/[x", every.data(), unsigned(every.size()));
  h.setKey("/d/#x", "#[=]");
  h.close();
  const Outcome dump = on({"dump"});
  ASSERT_EQ(dump.status, 0) << dump.err;
  EXPECT_EQ(std::count(dump.out.begin(), dump.out.end(), '\n'), 1 + 2 + 254 + 2);
  const std::string copy = dir.file("copy.db");
  ASSERT_EQ(nctool({"create", copy}).status, 0);
  ASSERT_EQ(nctool({"load", copy}, dump.out).status, 0);
  EXPECT_EQ(dumpFile(copy), dumpFile(reg));
  EXPECT_EQ(nctool({"dump", copy}).out, dump.out);
}

// Trouble is status 2 and one line naming the file and the cause.
TEST_F(Inspector, TroubleIsNamedWithItsCause) {
  makeAwkward(reg);
  const std::string cut = dir.file("cut.db");
  std::vector<unsigned char> image = readFile(reg);
  image.resize(3000);
  writeFile(cut, image);
  const std::string none = dir.file("none.db");
  const std::pair<Args, std::string> cases[] = {
      {{"get", cut, "/n"}, cut + ": truncated: header says 4096 bytes, file has 3000"},
      {{"batch", cut, "/dev/null"}, cut + ": truncated: header says 4096 bytes, file has 3000"},
      {{"export", reg, "-o", "/dev/full"}, "/dev/full: No space left on device"},
      {{"dump", reg, "/", "-o", "/dev/full"}, "/dev/full: No space left on device"},
      {{"ls", dir.path()}, dir.path() + ": not a regular file"},
      {{"load", none}, none + ": No such file or directory"},
      {{"set", reg, "/x", "int", "--from", none}, none + ": No such file or directory"},
      {{"convert", "--byte-order", "big", cut, none}, cut + ": damaged"},
      {{"convert", "--byte-order", "big", reg, cut}, cut + ": exists already"},
      {{"salvage", reg, cut}, cut + ": exists already"},
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
}

// A load that fails anywhere changes nothing and names the line.
TEST_F(Inspector, LoadIsAllOrNothing) {
  makeAwkward(reg);
  const std::vector<unsigned char> before = readFile(reg);
  const std::pair<std::string, std::string> cases[] = {
      {"[/]\nk=int:1\n[/net]\nhost=int:2\n", "/net/host: exists as string, cannot store int"},
      {"[/a]\nk=int:1\nk=int:2\n", "line 3: k: appears twice"},
      {"k=int:1\n", "line 1: a key before the first \"[PATH]\" line"},
      {"[/a]\n[/b]\n", "line 2: /b: not below /a, where the dump begins"},
      {"[/a//b]\n", "line 1: \"/a//b\": not a plain absolute path"},
      {"[/a]\nk=frob:1\n", "line 2: k: unknown type \"frob\""},
      {"[/a]\nk=string:\\q\n", "line 2: k: \"\\\\q\" is not a valid string value"},
      {"[/a]\nk=double:#12\n", "line 2: k: \"#12\" is not a valid double value"},
      {"[/a]\nk\n", "line 2: a key line is \"name=type:value\""},
      {"", "holds no \"[PATH]\" line"}};
  for (const auto &[text, cause] : cases) {
    const Outcome r = on({"load"}, text);
    EXPECT_EQ(r.status, 2) << text;
    EXPECT_NE(r.err.find(cause), std::string::npos) << r.err;
  }
  EXPECT_EQ(readFile(reg), before);
}

// A batch applies every line, or, when any line fails, none; the message
// names the line.
TEST_F(Inspector, BatchIsAllOrNothing) {
  makeAwkward(reg);
  const Outcome ok = on({"batch"},
                        "# set up\nmkdir /a 4\nset /a/n int -- 5\nset /a/s string  two  words \n\n"
                        "set /a/my\\skey raw 00ff\nmv /a/n m\nrm -r /deep\nrm -f /zz\nmv /net/port /a\n");
  ASSERT_EQ(ok.status, 2) << ok.err;  // "--" is no part of batch syntax: int "-- 5" is refused
  const Outcome good = on({"batch"},
                          "mkdir /a 4\nset /a/n int -5\nset /a/s string  two  words \n\n"
                          "  set /a/my\\skey raw 00ff\nmv /a/n m\nrm -r /deep\nrm -f /zz\nmv /net/port /a\n");
  ASSERT_EQ(good.status, 0) << good.err;
  EXPECT_EQ(on({"tree", "/a"}).out,
            "/a/\n  m (int) = -5\n  \"my key\" (raw) = 00ff\n  port (uint) = 8001\n"
            "  s (string) = \" two  words \"\n");
  EXPECT_EQ(on({"ls", "/deep"}).status, 1);

  const std::vector<unsigned char> before = readFile(reg);
  const std::pair<std::string, std::string> cases[] = {
      {"set /c/x int 1\nrm /a/m\nset /a/s int 3\n",
       reg + ": standard input line 3: /a/s: exists as string, cannot store int; nothing was changed"},
      {"set /c/x int 1\nrm /zz\n", reg + ": standard input line 2: /zz: no such key or directory"},
      {"mkdir /c\nmv /c /c/c\n", "line 2: /c/c: cannot move a directory into itself"},
      {"set /c/x int 1\nfrob /x\n", "standard input: line 2: not a batch line"},
      {"set /c//x int 1\n", "standard input: line 1: \"/c//x\": not a plain absolute path"},
      {"set /c int 1x\n", "standard input: line 1: /c: \"1x\" is not a valid int value"},
      {"rm -q /c\n", "standard input: line 1: rm [-r] [-f] PATH"}};
  for (const auto &[script, cause] : cases) {
    const Outcome r = on({"batch"}, script);
    EXPECT_EQ(r.status, cause.find("no such") != std::string::npos ? 1 : 2) << script;
    EXPECT_NE(r.err.find(cause), std::string::npos) << r.err;
  }
  EXPECT_EQ(readFile(reg), before);
}

TEST_F(Inspector, ImportRefusesBadDocumentsWithoutChanges) {
  makeAwkward(reg);
  const std::vector<unsigned char> before = readFile(reg);
  const std::string head =
      R"({"format": "nctool-export", "version": 1, "path": "/", "tree": {"type": "dir", "children": )";
  const std::pair<std::string, std::string> cases[] = {
      {"{not json", "not valid JSON: unexpected character at line 1, column 3"},
      {"[1,\n 2,\n", "not valid JSON: unexpected end of the text"},
      {R"({"format": "other"})", "not an nctool export"},
      {head + R"([{"name": "n", "type": "string", "value": "x"}]}})", "/n: exists as int, cannot store string"},
      {head + R"([{"name": "z", "type": "int", "value": 1.5}]}})", "/z: \"value\" is not a 64-bit signed integer"},
      {head + R"([{"name": "a/b", "type": "int", "value": 1}]}})", "a child has the unusable name \"a/b\""},
      {head + R"([{"name": "z", "type": "frob"}]}})", "/z: unknown type \"frob\""}};
  for (const auto &[doc, cause] : cases) {
    const Outcome r = on({"import"}, doc);
    EXPECT_EQ(r.status, 2) << doc;
    EXPECT_NE(r.err.find(cause), std::string::npos) << r.err;
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
  const uint16_t one = 1;
  const bool little = *reinterpret_cast<const unsigned char *>(&one) == 1;
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
  struct Case {
    mode_t umask, source, want_created;
  };
  for (const Case c : {Case{022, 0640, 0644}, {077, 0604, 0600}, {002, 0660, 0664}}) {
    const mode_t old = umask(c.umask);
    const std::string made = dir.file("made.db"), compact = dir.file("compact.db");
    EXPECT_EQ(nctool({"create", made}).status, 0);
    struct stat st;
    ASSERT_EQ(stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.want_created) << std::oct << c.umask;
    ASSERT_EQ(chmod(made.c_str(), c.source), 0);
    const bool root = geteuid() == 0;
    if (root) {
      ASSERT_EQ(chown(made.c_str(), 12345, 23456), 0);
    }
    EXPECT_EQ(nctool({"compact", made, compact}).status, 0);
    ASSERT_EQ(stat(compact.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.source) << std::oct << c.source;
    if (root) {
      EXPECT_EQ(st.st_uid, 12345u);
      EXPECT_EQ(st.st_gid, 23456u);
    }
    umask(old);
    unlink(made.c_str());
    unlink(compact.c_str());
  }
}

// watch reports what another process changes, and stops when told. The
// edits go on for longer than the watcher needs to start, whatever that
// takes under an emulator, so the lines are checked by their form.
TEST_F(Inspector, WatchReportsChangesOfAnotherProcess) {
  makeAwkward(reg);
  Program watch(NCTOOL_BINARY, {"watch", reg, "/net", "--interval", "20", "--count", "10", "--timeout", "60"});
  for (int i = 1; i <= 40; i++) {
    usleep(100000);
    TestNConfig h;
    h.setName(reg.c_str());
    ASSERT_EQ(h.open(NC_O_RW), NC_ERR_OK);
    if (i % 3 != 0) h.setKey("/net/port", static_cast<unsigned>(i));
    if (i % 6 == 3) h.setKey("/net/x y", -i);
    if (i % 6 == 0) h.delKey("/net/x y");
  }
  const Outcome r = watch.finish();
  EXPECT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.out);
  std::map<std::string, int> kinds;
  for (std::string line; std::getline(lines, line);) {
    const bool port = line.rfind("changed /net/port (uint) = ", 0) == 0;
    const bool created = line.rfind("created \"/net/x y\" (int) = -", 0) == 0;
    EXPECT_TRUE(port || created || line == "removed \"/net/x y\"") << line;
    kinds[line.substr(0, 7)]++;
  }
  EXPECT_GE(kinds["changed"] + kinds["created"] + kinds["removed"], 10);
  EXPECT_GE(kinds["created"], 1);
  EXPECT_GE(kinds["removed"], 1);
  // Without changes it prints nothing and ends after --timeout.
  EXPECT_EQ(nctool({"watch", reg, "/net", "--timeout", "0.3"}).out, "");
}

TEST_F(Inspector, SalvageKeepsWhatIsSoundAndNamesWhatIsLost) {
  struct Case {
    const char *what;
    std::function<void(TestNConfig &)> damage;
    std::vector<std::string> lost;
  };
  const Case cases[] = {
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
  for (const Case &c : cases) {
    const std::string damaged = dir.file("damaged.db"), out = dir.file("out.db");
    makeAwkward(damaged);
    std::string before;
    {
      TestNConfig h;
      h.setName(damaged.c_str());
      ASSERT_EQ(h.open(NC_O_RW), NC_ERR_OK);
      h.lockFile(NC_L_RW, 0);
      c.damage(h);
      h.unLockFile();
    }
    const Outcome r = nctool({"salvage", damaged, out});
    EXPECT_EQ(r.status, c.lost.empty() ? 0 : 1) << c.what << r.err;
    std::vector<std::string> lost;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("lost ", 0) == 0) lost.push_back(line);
    EXPECT_EQ(lost, c.lost) << c.what;
    EXPECT_EQ(nctool({"check", "-q", out}).status, 0) << c.what;
    EXPECT_EQ(nctool({"get", out, "/größe/ключ"}).out, "значение\n") << c.what;
    if (c.lost.empty()) {
      EXPECT_EQ(dumpFile(out), dumpFile(damaged));
    }
    unlink(damaged.c_str());
    unlink(out.c_str());
  }
  EXPECT_EQ(nctool({"salvage", dir.file("none.db"), dir.file("o.db")}).status, 2);
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
  EXPECT_NE(readFile(other), original);
  EXPECT_EQ(nctool({"convert", "--byte-order", "host", other, dir.file("back.db")}).status, 0);
  EXPECT_EQ(readFile(dir.file("back.db")), original);

  const std::string dump = nctool({"dump", reg}).out;
  EXPECT_EQ(nctool({"dump", other}).out, dump);
  EXPECT_EQ(nctool({"diff", reg, other}).status, 0);
  EXPECT_EQ(nctool({"check", "-q", other}).status, 0);
  for (const Args &a : {Args{"set", other, "/n", "int", "--", "-6"}, {"rm", "-r", other, "/deep"},
                        {"mv", other, "/net/host", "h"}, {"batch", other}, {"load", other}}) {
    const Outcome r = nctool(a, a[0] == "batch" ? "set /z uint 1\n" : "[/l]\nd=double:0.5\n");
    EXPECT_EQ(r.status, 0) << a[0] << r.err;
  }
  EXPECT_EQ(nctool({"set", other, "/n", "string", "x"}).status, 2);  // a refusal changes nothing
  const std::string edited = nctool({"dump", other}).out;
  for (const char *line : {"n=int:-6\n", "h=string:receiver1\n", "z=uint:1\n", "[/l]\nd=double:0.5\n"})
    EXPECT_NE(edited.find(line), std::string::npos) << line;
  EXPECT_EQ(edited.find("[/deep]"), std::string::npos);
  EXPECT_EQ(readFile(other)[0 + 28 + (other == big ? 3 : 0)], 36) << "keeps its byte order";
  EXPECT_EQ(nctool({"check", "-q", other}).status, 0);
  ASSERT_EQ(nctool({"compact", other, dir.file("c.db")}).status, 0);
  EXPECT_EQ(readFile(dir.file("c.db"))[28 + (other == big ? 3 : 0)], 36) << "compact keeps the order";
  EXPECT_EQ(nctool({"dump", dir.file("c.db")}).out, edited);
  const Outcome stat = nctool({"stat", other});
  EXPECT_NE(stat.out.find(other == big ? "byte order:   big-endian" : "byte order:   little-endian"),
            std::string::npos);
}

TEST_F(Inspector, CheckReportsIntactFilesAndTheOffsetOfDamage) {
  makeAwkward(reg);
  Outcome r = on({"check"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find(": intact: "), std::string::npos) << r.out;
  EXPECT_EQ(nctool({"check", dir.file("none")}).status, 2);
  writeFile(dir.file("junk"), {9, 9, 9, 9});
  EXPECT_EQ(nctool({"check", dir.file("junk")}).status, 1);

  // The root's first slot points outside the file.
  std::vector<unsigned char> image = readFile(reg);
  uint32_t root_slots;  // the root entry's slot array
  memcpy(&root_slots, &image[36 + 12], 4);
  const uint32_t outside = uint32_t(image.size()) + 64;
  memcpy(&image[root_slots], &outside, 4);
  writeFile(reg, image);
  r = on({"check"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find(reg + ": offset " + std::to_string(root_slots)), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(": damaged: "), std::string::npos) << r.out;
  EXPECT_EQ(nctool({"check", "-q", reg}).out, "");
}

TEST_F(Inspector, HelpForTheToolAndEveryCommand) {
  const Outcome r = nctool({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const std::string cmd : {"create", "ls", "tree", "get", "set", "mkdir", "rm", "mv", "stat", "check",
                                "export", "import", "compact", "diff", "dump", "load", "batch", "watch", "salvage", "convert"}) {
    EXPECT_NE(r.out.find("  " + cmd + " "), std::string::npos) << cmd;
    const Outcome c = nctool({cmd, "--help"});
    EXPECT_EQ(c.status, 0) << cmd;
    EXPECT_NE(c.out.find("Usage: nctool " + cmd), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("Example"), std::string::npos) << cmd;
  }
  EXPECT_EQ(nctool({"--version"}).out, "nctool 2.0\n");
  const Outcome bad = nctool({"frobnicate"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err, "nctool: unknown command 'frobnicate'; run 'nctool --help' for the list\n");
  EXPECT_EQ(on({"get"}).status, 2);
  EXPECT_EQ(nctool({"get"}).err, "nctool: get: FILE is required; run 'nctool get --help'\n");
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

// A cycle in a damaged file ends a walk with a message, not a crash.
TEST_F(Inspector, ConcurrentSetLoopsLoseNothing) {
  ASSERT_EQ(nctool({"create", reg}).status, 0);
  const int kRounds = 12;
  pid_t loops[2];
  for (int l = 0; l < 2; l++) {
    loops[l] = fork();
    if (loops[l] == 0) {
      for (int i = 0; i < kRounds; i++) {
        const std::string key = "/loop" + std::to_string(l) + "/k" + std::to_string(i);
        if (nctool({"set", reg, key, "uint", std::to_string(i)}).status != 0) _exit(1);
      }
      _exit(0);
    }
  }
  for (pid_t p : loops) {
    int ws = 0;
    waitpid(p, &ws, 0);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
  }
  for (int l = 0; l < 2; l++)
    for (int i = 0; i < kRounds; i++) {
      const std::string key = "/loop" + std::to_string(l) + "/k" + std::to_string(i);
      EXPECT_EQ(nctool({"get", reg, key}).out, std::to_string(i) + "\n") << key;
    }
  EXPECT_EQ(nctool({"check", "-q", reg}).status, 0);
}

TEST_F(Inspector, WalksSurviveADirectoryCycle) {
  {
    TestNConfig h;
    ASSERT_EQ(makeRegistry(h, reg), NC_ERR_OK);
    h.createDir("/a/b", 0);
    nc_de_s *b = h.edit("/a/b");
    nc_de_s *a = h.find("/a");
    // b's slot array becomes a's: b holds b again, and so on without end.
    b->offset = a->offset;
    b->pages = a->pages;
  }
  for (const char *cmd : {"tree", "export", "ls"}) {
    const Outcome r = nctool({cmd, reg, "/a"});
    EXPECT_NE(r.status, -1) << cmd;
  }
  const Outcome r = nctool({"tree", reg});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("/a/b/b: the directory appears twice in the tree (the file is damaged)"),
            std::string::npos) << r.err;
}

}  // namespace
