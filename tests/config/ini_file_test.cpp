// The INI reader and writer of the configuration files against Boost's own INI parser, which the
// files were read with before: the same tree, the same fault at the same line, the same text.
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>

#include <boost/optional.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "config/config_store.h"
#include "support/test_util.h"

namespace pt = boost::property_tree;

namespace {

// The tree as text, order and nesting included, for comparing and for failure messages.
std::string Dump(const pt::ptree& tree, const std::string& strIndent = "") {
  std::string strOut;
  for (const pt::ptree::value_type& child : tree) {
    strOut += strIndent + "[" + child.first + "]=[" + child.second.data() + "]\n";
    strOut += Dump(child.second, strIndent + "  ");
  }
  return strOut;
}

// What Boost's reader makes of the file: its tree, or its error text.
std::string BoostRead(const std::string& strPath) {
  try {
    pt::ptree tree;
    pt::read_ini(strPath, tree);
    return Dump(tree);
  } catch (const std::exception& e) {
    return std::string("error: ") + e.what();
  }
}

std::string OwnRead(const std::string& strPath) {
  try {
    pt::ptree tree;
    ReadIniFile(strPath, &tree);
    return Dump(tree);
  } catch (const std::exception& e) {
    return std::string("error: ") + e.what();
  }
}

TEST(IniFileTest, ReadsEveryFileAsBoostsParserDid) {
  using namespace std::string_literals;  // "..."s keeps a NUL byte inside the text
  const std::string kFiles[] = {
      ""s,
      "\n\n",
      "[IP_LIST]\nSAMV_COUNT=2\nIP0=127.0.0.1\nPORT0=9000\n",
      "TOP=1\n[A]\nK=v\n",
      "  [ A ]  \r\n  K  =  spaced value \t\r\n; comment\n# comment\n",
      "[A]\nK=v\n[EMPTY]\n[B]\nK=w",               // an empty section is left out
      "[A]\n[A]\nK=1\n",                            // a repeat of an empty section is no repeat
      "[A]\nK=1\n[A]\nK=2\n",                       // duplicate section name
      "[A\nK=1\n",                                  // unmatched '['
      "[A]\nK=1\nK=2\n",                            // duplicate key name
      "[A]\nno equals sign\n",                      // '=' character not found in line
      "[A]\n=value\n",                              // key expected
      "[A]\n   =value\n",
      "[A]\nK=a=b\nL=\n",                           // only the first '=' splits
      "[A] trailing\nK=1\n",
      "[]\nK=1\n",
      "A=1\n[A]\nK=1\n",                            // a key and a section of one name
      "[A]\nK=v\0w\nL=x\n"s,                        // a NUL byte stays in the value
      "[A]\nK=1\n[B]\nK=1\n[A]\nL=2\n",
      "[A]\nK=\xc3\xa9t\xe9\n",                     // bytes beyond ASCII are not blanks
      "[A]\nK=1\x0b\x0c\n",
  };
  TempDir dir;
  for (const std::string& strText : kFiles) {
    SCOPED_TRACE(strText);
    dir.Write("t.ini", strText);
    EXPECT_EQ(OwnRead(dir.File("t.ini")), BoostRead(dir.File("t.ini")));
  }
  // A file that cannot be opened, and one that cannot be read.
  EXPECT_EQ(OwnRead(dir.File("missing.ini")), BoostRead(dir.File("missing.ini")));
  EXPECT_EQ(OwnRead(dir.Path()), BoostRead(dir.Path()));
  EXPECT_EQ(OwnRead(dir.Path()), "error: " + dir.Path() + "(1): read error");
}

TEST(IniFileTest, AFailedReadLeavesTheTreeAsItWas) {
  TempDir dir;
  dir.Write("t.ini", "[A]\nK=1\n[A\n");
  pt::ptree tree;
  tree.put("KEEP.ME", "1");
  EXPECT_THROW(ReadIniFile(dir.File("t.ini"), &tree), std::runtime_error);
  EXPECT_EQ(Dump(tree), "[KEEP]=[]\n  [ME]=[1]\n");
}

TEST(IniFileTest, WritesTheTextBoostsWriterDid) {
  pt::ptree tree;
  tree.put("TOP", "1");
  tree.put("LOG_SERVER.PORT", "8080");
  tree.put("LOG_SERVER.SIGN", "a b");
  tree.put("SYSTEM_ADMINISTRATOR.PASSWORD", "");
  tree.put("AFTER", "2");
  std::ostringstream boost;
  pt::write_ini(boost, tree);
  EXPECT_EQ(IniText(tree), boost.str());
  EXPECT_EQ(IniText(tree),
            "TOP=1\nAFTER=2\n[LOG_SERVER]\nPORT=8080\nSIGN=a b\n[SYSTEM_ADMINISTRATOR]\n"
            "PASSWORD=\n");

  // Trees the format cannot hold fail with Boost's words.
  pt::ptree deep;
  deep.put("A.B.C", "1");
  pt::ptree mixed;
  mixed.put("A", "data");
  mixed.put("A.B", "1");
  pt::ptree dupes;
  dupes.add("A.K", "1");
  dupes.add("A.K", "2");
  pt::ptree rooted("root data");
  for (const pt::ptree* pBad : {&deep, &mixed, &dupes, &rooted}) {
    std::string strBoost;
    try {
      std::ostringstream out;
      pt::write_ini(out, *pBad);
    } catch (const std::exception& e) {
      strBoost = e.what();
    }
    ASSERT_FALSE(strBoost.empty());
    try {
      IniText(*pBad);
      ADD_FAILURE() << "no error, expected " << strBoost;
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), strBoost);
    }
  }
}

TEST(IniFileTest, NumbersReadAsTheStreamReadThem) {
  const char* const kValues[] = {"0",  "7",          "007",         "+5",         "-1",
                                 "-0", "4294967295", "4294967296",  "-4294967295", "99999999999",
                                 "",   "+",          "-",           "1 2",        "12x",
                                 "0x10", " 42 ",     "\t9\r",       "1.5",        "- 1"};
  pt::ptree tree;
  for (const char* szValue : kValues) {
    SCOPED_TRACE(std::string("\"") + szValue + "\"");
    tree.put("V", std::string(szValue));
    EXPECT_EQ(StreamNumber(szValue), tree.get_optional<uint32_t>("V"));
  }
}

}  // namespace
