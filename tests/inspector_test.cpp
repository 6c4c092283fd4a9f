// nctool run as a process against registry files the tests make.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <sstream>

#include "test_util.h"

namespace {

struct Outcome {
  int status;
  std::string out, err;
};

std::string slurp(const std::string &path) {
  std::vector<unsigned char> b = readFile(path);
  return std::string(b.begin(), b.end());
}

// Runs nctool with `args` (through the emulator under a cross build) and
// `input` on standard input.
Outcome nctool(const std::vector<std::string> &args, const std::string &input = "") {
  TempDir io;
  writeFile(io.file("in"), std::vector<unsigned char>(input.begin(), input.end()));
  std::vector<std::string> argv;
  std::istringstream launcher(NC_EMULATOR);
  for (std::string word; launcher >> word;) argv.push_back(word);
  argv.push_back(NCTOOL_BINARY);
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char *> cargv;
    for (std::string &a : argv) cargv.push_back(&a[0]);
    cargv.push_back(nullptr);
    dup2(open(io.file("in").c_str(), O_RDONLY), 0);
    dup2(open(io.file("out").c_str(), O_WRONLY | O_CREAT, 0600), 1);
    dup2(open(io.file("err").c_str(), O_WRONLY | O_CREAT, 0600), 2);
    execvp(cargv[0], cargv.data());
    _exit(127);
  }
  int ws = 0;
  waitpid(pid, &ws, 0);
  return {WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, slurp(io.file("out")),
          slurp(io.file("err"))};
}

// An independent rendering of a registry's tree through the store's public
// interface, one line per entry, values in hex: equal texts, equal trees.
std::string dumpTree(NConfig &h, const std::string &path) {
  std::string out;
  nc_ls_s *list = h.ls(path.c_str());
  for (nc_ls_s *l = list; l && l->name; ++l) {
    std::string child = (path == "/" ? "/" : path + "/") + l->name;
    out += child + " " + std::to_string(l->type) + " ";
    std::string v;
    if (l->type == NC_DIR) {
      v = "\n" + dumpTree(h, child);
    } else if (l->type == NC_STRING) {
      char *s = nullptr;
      EXPECT_EQ(h.getKey(child.c_str(), s), NC_ERR_OK);
      v = s ? "'" + std::string(s) + "'\n" : "none\n";
      free(s);
    } else if (l->type == NC_RAW) {
      char *r = nullptr;
      unsigned len = 0;
      EXPECT_EQ(h.getKey(child.c_str(), r, len), NC_ERR_OK);
      v = std::string(r ? r : "", len) + "\n";
      free(r);
    } else {
      unsigned long long bits = 0;
      if (l->type == NC_UINT) h.getKey(child.c_str(), bits);
      long long i = 0;
      if (l->type == NC_INT) h.getKey(child.c_str(), i), bits = i;
      double d = 0;
      if (l->type == NC_DOUBLE) h.getKey(child.c_str(), d), memcpy(&bits, &d, 8);
      v = std::to_string(bits) + "\n";
    }
    out += v;
    free(l->name);
  }
  free(list);
  return out;
}

std::string dumpFile(const std::string &file) {
  NConfig h(0);
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
};

TEST_F(Inspector, CreateAndStatShowTheAllocatorFigures) {
  Outcome r = nctool({"create", reg});
  EXPECT_EQ(r.status, 0) << r.err;
  r = nctool({"stat", reg});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("size:         4096\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("free:         3900 in 1 chunk\nmin:          3900\n"
                       "avg:          3900\nmax:          3900\n"),
            std::string::npos)
      << r.out;

  std::string big = dir.file("big.db");
  EXPECT_EQ(nctool({"create", "--pages", "2", "--slots", "4", "--records", "32", big}).status, 0);
  r = nctool({"stat", big});
  EXPECT_NE(r.out.find("free:         7868 in 1 chunk\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("dir batch:    4 slots\n"), std::string::npos) << r.out;

  // Refusals name the file and the cause on one line.
  r = nctool({"create", reg});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "nctool: " + reg + ": exists already\n");
  r = nctool({"create", "--records", "600", dir.file("x")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "nctool: " + dir.file("x") +
                       ": 600 table records do not fit in 1 growth page(s)\n");
  EXPECT_TRUE(readFile(dir.file("x")).empty());
}

TEST_F(Inspector, ListingsShowTypesAndEscapedShortenedValues) {
  makeAwkward(reg);
  {
    NConfig h(0);
    h.setName(reg.c_str());
    h.open(NC_O_RW);
    h.setKey("/long", std::string(100, 'x').c_str());
    std::string blob(40, '\xab');
    h.setKey("/blob", blob.data(), blob.size());
  }
  std::string abab;
  for (int i = 0; i < 32; i++) abab += "ab";
  Outcome r = nctool({"ls", reg});
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

  r = nctool({"tree", reg, "/deep/a"});
  EXPECT_EQ(r.out, "/deep/a/\n  b/\n    c/\n      d/\n        e (double) = 1e+300\n");
  r = nctool({"tree", reg, "/net/port"});
  EXPECT_EQ(r.out, "/net/port (uint) = 8001\n");
  r = nctool({"ls", "--full", reg, "/long"});
  EXPECT_EQ(r.out, "long (string) = \"" + std::string(100, 'x') + "\"\n");
  r = nctool({"tree", reg, "/größe"});
  EXPECT_EQ(r.out, "/größe/\n  ключ (string) = \"значение\"\n");

  r = nctool({"ls", reg, "/nothing"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "nctool: " + reg + ": /nothing: no such key or directory\n");
}

TEST_F(Inspector, GetPrintsTheValueAloneForScripts) {
  makeAwkward(reg);
  EXPECT_EQ(nctool({"get", reg, "/net/host"}).out, "receiver1\n");
  EXPECT_EQ(nctool({"get", reg, "/net/port"}).out, "8001\n");
  EXPECT_EQ(nctool({"get", reg, "/min"}).out, "-9223372036854775808\n");
  EXPECT_EQ(nctool({"get", reg, "/d"}).out, "2.5\n");
  EXPECT_EQ(nctool({"get", reg, "/b"}).out, "00ff10\n");
  EXPECT_EQ(nctool({"get", "-b", reg, "/b"}).out, std::string("\x00\xff\x10", 3));
  EXPECT_EQ(nctool({"get", reg, "/empty string"}).out, "\n");
  EXPECT_EQ(nctool({"get", reg, "/empty raw"}).out, "\n");

  Outcome r = nctool({"get", reg, "/net"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "nctool: " + reg + ": /net: is a directory\n");
  r = nctool({"get", reg, "/no value"});
  EXPECT_EQ(r.err, "nctool: " + reg + ": /no value: has no value\n");
  r = nctool({"get", dir.file("missing.db"), "/x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "nctool: " + dir.file("missing.db") + ": No such file or directory\n");
  writeFile(dir.file("junk"), {1, 2, 3, 4, 5, 6, 7, 8});
  r = nctool({"get", dir.file("junk"), "/x"});
  EXPECT_EQ(r.err, "nctool: " + dir.file("junk") +
                       ": not a registry file (empty, or wrong magic number)\n");

  // A file from a machine of the other byte order is named as such.
  std::vector<unsigned char> image = readFile(reg);
  for (size_t word = 4; word < 36; word += 4) std::reverse(&image[word], &image[word + 4]);
  writeFile(reg, image);
  for (const char *cmd : {"tree", "stat"}) {
    r = nctool({cmd, reg});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(": written on a machine of the other byte order;"), std::string::npos)
        << r.err;
  }
  EXPECT_EQ(nctool({"check", "-q", reg}).status, 1);
}

TEST_F(Inspector, SetStoresEachTypeAndRefusesWithoutChanging) {
  ASSERT_EQ(nctool({"create", reg}).status, 0);
  for (const auto &a : std::vector<std::vector<std::string>>{
           {"/s", "string", "a b"}, {"/i", "int", "--", "-42"}, {"/h", "uint", "0xff"},
           {"/u", "uint", "18446744073709551615"}, {"/f", "double", "-1e-9"},
           {"/r", "raw", "00FF"}, {"/e", "raw", ""}, {"/x/y", "dir", "5"},
           {"/i", "int", "7"}}) {
    std::vector<std::string> args = {"set", reg};
    args.insert(args.end(), a.begin(), a.end());
    Outcome r = nctool(args);
    EXPECT_EQ(r.status, 0) << a[0] << ": " << r.err;
  }
  TestNConfig h;
  h.setName(reg.c_str());
  ASSERT_EQ(h.open(NC_O_RO), NC_ERR_OK);
  char *s = nullptr;
  EXPECT_EQ(h.getKey("/s", s), NC_ERR_OK);
  EXPECT_STREQ(s, "a b");
  free(s);
  long long i = 0;
  EXPECT_EQ(h.getKey("/i", i), NC_ERR_OK);
  EXPECT_EQ(i, 7);
  unsigned long long u = 0;
  h.getKey("/h", u);
  EXPECT_EQ(u, 255u);
  h.getKey("/u", u);
  EXPECT_EQ(u, std::numeric_limits<unsigned long long>::max());
  double d = 0;
  h.getKey("/f", d);
  EXPECT_EQ(d, -1e-9);
  unsigned len = 9;
  h.getKey("/r", s, len);
  EXPECT_EQ(std::string(s, len), std::string("\x00\xff", 2));
  free(s);
  h.getKey("/e", s, len);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(h.find("/x/y")->pages, 5u);
  h.close();

  // Every refusal is one line naming the file and the cause, and leaves the
  // file as it was.
  const std::vector<unsigned char> before = readFile(reg);
  const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
      {{"/s", "int", "1"}, "/s: exists as string, cannot store int"},
      {{"/s/t", "int", "1"}, "/s: not a directory"},
      {{"/x", "string", "v"}, "/x: exists as dir, cannot store string"},
      {{"/n", "int", "12a"}, "/n: \"12a\" is not a valid int value"},
      {{"/n", "uint", "-1"}, "/n: \"-1\" is not a valid uint value"},
      {{"/n", "int", "9223372036854775808"}, "/n: \"9223372036854775808\" is not a valid int value"},
      {{"/n", "double", "1e999"}, "/n: \"1e999\" is not a valid double value"},
      {{"/n", "raw", "abc"}, "/n: \"abc\" is not a valid raw value"},
      {{"/n", "string"}, "/n: a string needs a VALUE"},
      {{"/n", "blob", "1"}, "unknown type \"blob\" (use dir, string, int, uint, raw or double)"}};
  for (const auto &[a, cause] : refusals) {
    std::vector<std::string> args = {"set", reg};
    args.insert(args.end(), a.begin(), a.end());
    Outcome r = nctool(args);
    EXPECT_EQ(r.status, 1) << cause;
    EXPECT_EQ(r.err, "nctool: " + reg + ": " + cause + "\n");
  }
  EXPECT_EQ(readFile(reg), before);
}

TEST_F(Inspector, RmAndMvKeepTheTreeConsistent) {
  makeAwkward(reg);
  Outcome r = nctool({"rm", reg, "/net"});
  EXPECT_EQ(r.err, "nctool: " + reg + ": /net: directory is not empty (use -r)\n");
  EXPECT_EQ(nctool({"rm", reg, "/"}).err, "nctool: " + reg + ": /: cannot remove the root directory\n");
  EXPECT_EQ(nctool({"rm", reg, "/zz"}).status, 1);
  EXPECT_EQ(nctool({"rm", "-f", reg, "/zz"}).status, 0);
  EXPECT_EQ(nctool({"rm", reg, "/empty dir"}).status, 0);
  EXPECT_EQ(nctool({"rm", reg, "/n"}).status, 0);
  EXPECT_EQ(nctool({"rm", "-r", reg, "/deep"}).status, 0);

  // Rename in place, even where the root holds the new name.
  EXPECT_EQ(nctool({"mv", reg, "/net/host", "d"}).status, 0);
  // Move across directories, and into an existing directory.
  EXPECT_EQ(nctool({"mv", reg, "/net", "/sys/network"}).status, 0);
  EXPECT_EQ(nctool({"mv", reg, "/b", "/sys"}).status, 0);
  EXPECT_EQ(nctool({"mv", reg, "/sys", "/sys/network/x"}).err,
            "nctool: " + reg + ": /sys/network/x: cannot move a directory into itself\n");
  EXPECT_EQ(nctool({"mv", reg, "/d", "/max"}).err, "nctool: " + reg + ": /max: exists already\n");
  r = nctool({"tree", reg, "/sys"});
  EXPECT_EQ(r.out,
            "/sys/\n  b (raw) = 00ff10\n  network/\n    d (string) = \"receiver1\"\n"
            "    port (uint) = 8001\n");
  r = nctool({"ls", reg});
  EXPECT_EQ(r.out.find("net/"), std::string::npos);
  EXPECT_EQ(r.out.find("deep/"), std::string::npos);
  EXPECT_EQ(nctool({"check", "-q", reg}).status, 0);
}

TEST_F(Inspector, ReadingCommandsLeaveTheFileUnchanged) {
  makeAwkward(reg);
  std::string other = dir.file("other.db");
  makeAwkward(other);
  const std::vector<unsigned char> before = readFile(reg);
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"ls", reg}, {"tree", reg}, {"get", reg, "/d"}, {"stat", reg},
           {"check", reg}, {"export", reg}, {"diff", reg, other},
           {"compact", reg, dir.file("c.db")}, {"get", reg, "/nothing"}}) {
    nctool(args);
    EXPECT_EQ(readFile(reg), before) << args[0];
  }
}

TEST_F(Inspector, ExportImportAndCompactRecreateTheSameTree) {
  makeAwkward(reg);
  const std::string original = dumpFile(reg);
  Outcome ex = nctool({"export", reg});
  ASSERT_EQ(ex.status, 0) << ex.err;

  std::string copy = dir.file("copy.db");
  Outcome r = nctool({"import", copy}, ex.out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dumpFile(copy), original);
  EXPECT_EQ(nctool({"export", copy}).out, ex.out);
  EXPECT_EQ(nctool({"diff", reg, copy}).status, 0);
  // Importing again over the same tree changes nothing.
  EXPECT_EQ(nctool({"import", copy}, ex.out).status, 0);
  EXPECT_EQ(dumpFile(copy), original);

  std::string compact = dir.file("compact.db");
  r = nctool({"compact", reg, compact});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dumpFile(compact), original);
  EXPECT_EQ(nctool({"check", "-q", compact}).status, 0);

  // A subtree, exported to a file and recreated elsewhere.
  std::string part = dir.file("part.json");
  ASSERT_EQ(nctool({"export", reg, "/größe", "-o", part}).status, 0);
  ASSERT_EQ(nctool({"import", copy, part, "--at", "/elsewhere/x"}).status, 0);
  EXPECT_EQ(nctool({"get", copy, "/elsewhere/x/ключ"}).out, "значение\n");

  // Differences are listed and reported by the exit status.
  ASSERT_EQ(nctool({"set", copy, "/n", "int", "6"}).status, 0);
  r = nctool({"diff", reg, copy});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "+ /elsewhere/\n- /n (int) = -5\n+ /n (int) = 6\n");
}

TEST_F(Inspector, ImportRefusesBadDocumentsWithoutChanges) {
  makeAwkward(reg);
  const std::vector<unsigned char> before = readFile(reg);
  const std::string head = R"({"format": "nctool-export", "version": 1, "path": "/", "tree": )";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{not json", "not valid JSON"},
      {R"({"format": "other"})", "not an nctool export"},
      {head + R"({"type": "dir", "children": [{"name": "n", "type": "string", "value": "x"}]}})",
       "/n: exists as int, cannot store string"},
      {head + R"({"type": "dir", "children": [{"name": "z", "type": "int", "value": 1.5}]}})",
       "/z: \"value\" is not a 64-bit signed integer"},
      {head + R"({"type": "dir", "children": [{"name": "a/b", "type": "int", "value": 1}]}})",
       "a child has the unusable name \"a/b\""},
      {head + R"({"type": "dir", "children": [{"name": "z", "type": "frob"}]}})",
       "/z: unknown type \"frob\""}};
  for (const auto &[doc, cause] : cases) {
    Outcome r = nctool({"import", reg}, doc);
    EXPECT_EQ(r.status, 1) << doc;
    EXPECT_NE(r.err.find(cause), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_EQ(readFile(reg), before);
}

TEST_F(Inspector, CompactReclaimsFragmentedSpace) {
  {
    TestNConfig h;
    ASSERT_EQ(makeRegistry(h, reg, 1, 4, 16), NC_ERR_OK);
    for (int i = 0; i < 300; i++) {
      std::string key = "/k/" + std::to_string(i);
      h.setKey(key.c_str(), std::string(i % 50, 'v').c_str());
    }
    for (int i = 0; i < 300; i += 2) h.delKey(("/k/" + std::to_string(i)).c_str());
  }
  std::string fresh = dir.file("fresh.db");
  ASSERT_EQ(nctool({"compact", reg, fresh}).status, 0);
  EXPECT_EQ(dumpFile(fresh), dumpFile(reg));
  EXPECT_LT(readFile(fresh).size(), readFile(reg).size());
  Outcome r = nctool({"stat", fresh});
  EXPECT_NE(r.out.find("in 1 chunk\n"), std::string::npos) << r.out;
  EXPECT_EQ(nctool({"compact", reg, fresh}).err, "nctool: " + fresh + ": exists already\n");
}

TEST_F(Inspector, CheckPassesRandomisedFilesAndReportsExitStatus) {
  std::mt19937 rng(7);
  for (int file = 0; file < 4; file++) {
    std::string path = dir.file("rand" + std::to_string(file));
    {
      TestNConfig h;
      ASSERT_EQ(makeRegistry(h, path, 1, 1 + file, 2 + file), NC_ERR_OK);
      for (int op = 0; op < 400; op++) {
        std::string key = "/" + std::to_string(rng() % 5) + "/" + std::to_string(rng() % 12);
        switch (rng() % 4) {
          case 0: h.setKey(key.c_str(), std::string(rng() % 70, 's').c_str()); break;
          case 1: h.setKey((key + "r").c_str(), "0123456789abcdef", rng() % 17); break;
          case 2: h.delKey(key.c_str()); break;
          case 3: h.renameKey(key.c_str(), std::to_string(rng() % 12).c_str()); break;
        }
      }
    }
    Outcome r = nctool({"check", path});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(": intact: "), std::string::npos) << r.out;
  }
  EXPECT_EQ(nctool({"check", dir.file("none")}).status, 2);
  writeFile(dir.file("junk"), {9, 9, 9, 9});
  EXPECT_EQ(nctool({"check", dir.file("junk")}).status, 1);
}

TEST_F(Inspector, CheckNamesTheOffsetOfDamage) {
  makeAwkward(reg);
  std::vector<unsigned char> image = readFile(reg);
  uint32_t root_slots;
  {
    TestNConfig h;
    h.setName(reg.c_str());
    ASSERT_EQ(h.open(NC_O_RO), NC_ERR_OK);
    root_slots = h.rdir->offset;
  }
  // The root's first slot points outside the file.
  const uint32_t outside = uint32_t(image.size()) + 64;
  memcpy(&image[root_slots], &outside, 4);
  writeFile(reg, image);
  Outcome r = nctool({"check", reg});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find(reg + ": offset "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(": damaged: "), std::string::npos) << r.out;
  EXPECT_EQ(nctool({"check", "-q", reg}).out, "");
}

TEST_F(Inspector, HelpForTheToolAndEveryCommand) {
  Outcome r = nctool({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char *cmd : {"create", "ls", "tree", "get", "set", "mkdir", "rm", "mv", "stat",
                          "check", "export", "import", "compact", "diff"}) {
    EXPECT_NE(r.out.find(std::string("  ") + cmd + " "), std::string::npos) << cmd;
    Outcome c = nctool({cmd, "--help"});
    EXPECT_EQ(c.status, 0) << cmd;
    EXPECT_NE(c.out.find(std::string("Usage: nctool ") + cmd), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("Example"), std::string::npos) << cmd;
  }
  r = nctool({"frobnicate"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "nctool: unknown command 'frobnicate'; run 'nctool --help' for the list\n");
  EXPECT_EQ(nctool({"get", reg}).status, 2);
}

}  // namespace
