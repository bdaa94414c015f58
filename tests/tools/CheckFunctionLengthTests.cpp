// Runs scripts/check-function-length over small checkouts made for each case,
// the way CI runs it over the tree.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/GitTree.hpp"

namespace fs = std::filesystem;
using testsupport::TreeFiles;

namespace {

const fs::path kScript =
    fs::path(VERBOLIN_TEST_DATA_DIR) / ".." / ".." / "scripts" / "check-function-length";

// `int name(int x) {` ... `}`, `lines` lines in all, with `inside` first in its body.
std::string function(const std::string& name, int lines,
                     const std::vector<std::string>& inside = {}) {
    std::string text = "int " + name + "(int x) {\n";
    int written = 1;
    for (const auto& line : inside) text += line + "\n", ++written;
    for (; written < lines - 2; ++written) text += "    x += 1;\n";
    return text + "    return x;\n}\n";
}

// A function of `lines` lines whose first statement is a lambda of `lambdaLines`.
std::string functionWithLambda(int lines, int lambdaLines) {
    std::vector<std::string> lambda{"    auto twice = [](int y) {"};
    for (int i = 2; i < lambdaLines; ++i) lambda.push_back("        y += y;");
    lambda.push_back("    };");
    return function("outer", lines, lambda);
}

// A class in a header whose member `size` is defined in it, `lines` long.
std::string classWithMember(int lines) {
    std::string member = function("size", lines);
    std::string indented;
    for (std::size_t at = 0; at < member.size();) {
        const std::size_t end = member.find('\n', at);
        indented += "    " + member.substr(at, end - at + 1);
        at = end + 1;
    }
    return "#pragma once\nstruct Box {\n" + indented + "};\n";
}

struct Case {
    const char* what;
    TreeFiles files;
    int status;
    const char* reported;  // in the output when the check fails
};

}  // namespace

TEST(CheckFunctionLength, JudgesEachFunctionByItsLines) {
    const Case cases[] = {
        {"120 lines pass", {{"src/a/F.cpp", function("f", 120)}}, 0, ""},
        {"121 lines fail",
         {{"src/a/F.cpp", function("f", 121)}},
         1,
         "src/a/F.cpp:1: f is 121 lines"},
        {"braces in strings and comments do not end a function",
         {{"src/a/F.cpp",
           function("f", 121, {"    const char* s = \"}}\";", "    // }", "    char c = '}';"})}},
         1,
         "f is 121 lines"},
        {"a lambda counts toward its function",
         {{"src/a/G.cpp", functionWithLambda(121, 80)}},
         1,
         "outer is 121 lines"},
        {"a function holding a long lambda passes at 120 lines",
         {{"src/a/G.cpp", functionWithLambda(120, 110)}},
         0,
         ""},
        {"a member defined in its class",
         {{"src/a/Box.hpp", classWithMember(121)}},
         1,
         "src/a/Box.hpp:3: Box::size is 121 lines"},
        {"functions next to each other are measured apart",
         {{"src/a/F.cpp", function("f", 100) + function("g", 100) + function("h", 100)}},
         0,
         ""},
        {"tools and tests are checked too",
         {{"tools/x/Tool.cpp", function("tool", 130)}, {"tests/x/T.cpp", function("t", 125)}},
         1,
         "tests/x/T.cpp:1: t is 125 lines"},
        {"other folders are not", {{"docs/Example.cpp", function("example", 300)}}, 0, ""},
    };
    for (const auto& c : cases) {
        const auto r = testsupport::runScriptOnTree(kScript, c.files);
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.output;
        EXPECT_NE(r.output.find(c.reported), std::string::npos) << c.what << "\n" << r.output;
    }
}

TEST(CheckFunctionLength, NamesEveryLongFunctionOnce) {
    const auto r = testsupport::runScriptOnTree(
        kScript, {{"src/a/F.cpp", function("f", 121) + function("g", 10) + function("h", 200)},
                  {"src/b/Box.hpp", classWithMember(150)}});
    EXPECT_EQ(r.status, 1) << r.output;
    for (const char* line :
         {"src/a/F.cpp:1: f is 121 lines", "h is 200 lines", "Box::size is 150 lines"})
        EXPECT_NE(r.output.find(line), std::string::npos) << line << "\n" << r.output;
    EXPECT_EQ(r.output.find(" g is"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("3 function(s) over 120 lines"), std::string::npos) << r.output;
}
