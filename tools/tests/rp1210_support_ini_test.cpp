// The edit of RP121032.INI's implementation list: each case a file as found on a PC, the
// name added or removed, and the whole file expected afterwards, written out by hand.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/rp1210_support_ini.hpp"

namespace {

namespace ini = tools::rp1210_ini;

struct EditCase {
    const char* what;
    std::string before;
    std::string after;  // equal to before: no change expected
};

// A file with two other makers, a comment, an extra section and CR LF line ends.
const std::string kTwoMakers =
    "; RP1210 implementations on this PC\r\n"
    "[RP1210Support]\r\n"
    "APIImplementations=ACME32,NEXIQ2\r\n"
    "\r\n"
    "[Other]\r\n"
    "APIImplementations=unrelated\r\n";

TEST(Rp1210SupportIni, AddKeepsEverythingElse) {
    const std::vector<EditCase> cases = {
        {"two makers, comment, other section", kTwoMakers,
         "; RP1210 implementations on this PC\r\n"
         "[RP1210Support]\r\n"
         "APIImplementations=ACME32,NEXIQ2,qz121032\r\n"
         "\r\n"
         "[Other]\r\n"
         "APIImplementations=unrelated\r\n"},
        {"listed already, other case and blanks",
         "[RP1210Support]\nAPIImplementations=A, QZ121032 ,B\n",
         "[RP1210Support]\nAPIImplementations=A, QZ121032 ,B\n"},
        {"spaces around the sign, trailing blanks",
         "[rp1210support]\napiimplementations = A , B  \n",
         "[rp1210support]\napiimplementations = A , B,qz121032\n"},
        {"empty value", "[RP1210Support]\r\nAPIImplementations=\r\n",
         "[RP1210Support]\r\nAPIImplementations=qz121032\r\n"},
        {"value ending in a comma", "[RP1210Support]\nAPIImplementations=A,\n",
         "[RP1210Support]\nAPIImplementations=A,qz121032\n"},
        {"no line end on the last line", "[RP1210Support]\nAPIImplementations=A",
         "[RP1210Support]\nAPIImplementations=A,qz121032"},
        {"commented-out key is not the key",
         "[RP1210Support]\n;APIImplementations=OLD\nAPIImplementations=A\n",
         "[RP1210Support]\n;APIImplementations=OLD\nAPIImplementations=A,qz121032\n"},
        {"key in another section only", "[Other]\nAPIImplementations=X\n[RP1210Support]\nFoo=1\n",
         "[Other]\nAPIImplementations=X\n[RP1210Support]\nAPIImplementations=qz121032\nFoo=1\n"},
        {"section header last, without line end", "[RP1210Support]",
         "[RP1210Support]\r\nAPIImplementations=qz121032\r\n"},
        {"no section", "; nothing yet\n[Other]\nA=1",
         "; nothing yet\n[Other]\nA=1\n[RP1210Support]\nAPIImplementations=qz121032\n"},
        {"no file", "", "[RP1210Support]\r\nAPIImplementations=qz121032\r\n"},
        {"UTF-8 mark before the header", "\xEF\xBB\xBF[RP1210Support]\r\nAPIImplementations=A\r\n",
         "\xEF\xBB\xBF[RP1210Support]\r\nAPIImplementations=A,qz121032\r\n"},
        {"second section of the name is not read",
         "[RP1210Support]\nAPIImplementations=A\n[RP1210Support]\nAPIImplementations=B\n",
         "[RP1210Support]\nAPIImplementations=A,qz121032\n[RP1210Support]\nAPIImplementations=B\n"},
    };
    for (const EditCase& c : cases) {
        SCOPED_TRACE(c.what);
        const ini::EditResult added = ini::add_implementation(c.before, "qz121032");
        EXPECT_EQ(added.text, c.after);
        EXPECT_EQ(added.changed, c.after != c.before);
        // A second run changes nothing: one entry.
        const ini::EditResult again = ini::add_implementation(added.text, "qz121032");
        EXPECT_FALSE(again.changed);
        EXPECT_EQ(again.text, added.text);
    }
}

TEST(Rp1210SupportIni, RemoveKeepsTheOthers) {
    const std::vector<EditCase> cases = {
        {"ours last",
         "; c\r\n[RP1210Support]\r\nAPIImplementations=ACME32,NEXIQ2,qz121032\r\n[X]\r\n",
         "; c\r\n[RP1210Support]\r\nAPIImplementations=ACME32,NEXIQ2\r\n[X]\r\n"},
        {"ours first and in the middle, other case",
         "[RP1210Support]\nAPIImplementations= QZ121032, A, qz121032 , B\n",
         "[RP1210Support]\nAPIImplementations=A, B\n"},
        {"ours alone", "[RP1210Support]\nAPIImplementations=qz121032\n",
         "[RP1210Support]\nAPIImplementations=\n"},
        {"not listed", kTwoMakers, kTwoMakers},
        {"a longer name that starts like ours", "[RP1210Support]\nAPIImplementations=qz1210320\n",
         "[RP1210Support]\nAPIImplementations=qz1210320\n"},
        {"only in another section", "[Other]\nAPIImplementations=qz121032\n",
         "[Other]\nAPIImplementations=qz121032\n"},
        {"no file", "", ""},
    };
    for (const EditCase& c : cases) {
        SCOPED_TRACE(c.what);
        const ini::EditResult removed = ini::remove_implementation(c.before, "qz121032");
        EXPECT_EQ(removed.text, c.after);
        EXPECT_EQ(removed.changed, c.after != c.before);
    }
    // Added and removed again: the file as it was, byte for byte.
    EXPECT_EQ(
        ini::remove_implementation(ini::add_implementation(kTwoMakers, "qz121032").text, "qz121032")
            .text,
        kTwoMakers);
}

TEST(Rp1210SupportIni, ListAndNames) {
    EXPECT_EQ(ini::implementations(kTwoMakers), (std::vector<std::string>{"ACME32", "NEXIQ2"}));
    EXPECT_EQ(ini::implementations("[RP1210Support]\nAPIImplementations= A ,, B\n"),
              (std::vector<std::string>{"A", "B"}));
    EXPECT_TRUE(ini::implementations("").empty());

    for (const char* good : {"qz121032", "ACME_32", "vendor-2.1"}) {
        EXPECT_TRUE(ini::valid_implementation_name(good)) << good;
    }
    for (const char* bad : {"", "a,b", "a b", "a=b", "[a]", "a;b", "a\\b", "a\nb"}) {
        EXPECT_FALSE(ini::valid_implementation_name(bad)) << bad;
    }
}

}  // namespace
