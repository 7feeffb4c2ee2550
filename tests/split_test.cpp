// The library's own command-line syntax: what each line becomes as an
// argument vector, the 49-argument capacity, and a randomized run that checks
// the splitter never writes outside the vector or an argument.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "child_process/SplitCommandLine.h"
#include "support/SplitModel.h"

namespace {

using LibMySqlProcess::kArgvEntries;
using LibMySqlProcess::kMaxArguments;
using LibMySqlProcess::SplitCommandLine;

// The vector lives on the heap with exactly its 50 entries, so that a write
// past its end is caught by ASan rather than landing in a neighbouring local.
struct Split {
    int count = 0;
    std::vector<std::string> args;  // the stored entries, up to the null one
    bool nullTerminated = false;
};

Split SplitLine(const std::string& line)
{
    std::unique_ptr<char*[]> argv(new char*[kArgvEntries]);
    for (int i = 0; i < kArgvEntries; ++i)
        argv[i] = reinterpret_cast<char*>(0x1);  // anything but null, so a missing terminator shows
    std::unique_ptr<char[]> storage;
    Split out;
    out.count = SplitCommandLine(line.c_str(), argv.get(), storage);
    int i = 0;
    for (; i < kArgvEntries && argv[i] != nullptr && argv[i] != reinterpret_cast<char*>(0x1); ++i)
        out.args.emplace_back(argv[i]);
    out.nullTerminated = i < kArgvEntries && argv[i] == nullptr;
    return out;
}

struct Case {
    const char* what;
    std::string line;
    std::vector<std::string> args;
};

TEST(SplitCommandLine, ExamplesAndEdgeCasesGiveExactVectors)
{
    const std::vector<Case> cases = {
        // Worked examples.
        {"runs of spaces separate", "/usr/bin/mysqldump  --single-transaction   db1",
         {"/usr/bin/mysqldump", "--single-transaction", "db1"}},
        {"double quotes group, joined by one space", "/usr/bin/mysql --execute=\"SHOW  DATABASES\" --batch",
         {"/usr/bin/mysql", "--execute=SHOW DATABASES", "--batch"}},
        {"single quotes group", "/usr/bin/mysql --execute='SELECT 1' --batch",
         {"/usr/bin/mysql", "--execute=SELECT 1", "--batch"}},
        {"date rule takes the time", "/usr/bin/mysqlbinlog --stop-datetime=2024-01-31 23:59:59 /var/lib/mysql/binlog.000042",
         {"/usr/bin/mysqlbinlog", "--stop-datetime=2024-01-31 23:59:59", "/var/lib/mysql/binlog.000042"}},
        {"quoted date is the double-quote rule's",
         "/usr/bin/mysqlbinlog --stop-datetime=\"2024-01-31 23:59:59\" binlog.000042",
         {"/usr/bin/mysqlbinlog", "--stop-datetime=2024-01-31 23:59:59", "binlog.000042"}},
        {"bare keyword takes only the date", "/usr/bin/mysqlbinlog --stop-datetime 2024-01-31 23:59:59 binlog.000042",
         {"/usr/bin/mysqlbinlog", "--stop-datetime 2024-01-31", "23:59:59", "binlog.000042"}},
        {"quoted program path; single quote kept in a double-governed head", "\"/opt/my tools/mysql\" -e \"it's\"",
         {"/opt/my tools/mysql", "-e", "it's"}},
        {"single quotes inside a double-quoted group stay", "/usr/bin/mysql --execute=\"SELECT 'a b'\"",
         {"/usr/bin/mysql", "--execute=SELECT 'a b'"}},
        {"unclosed double quote", "/usr/bin/mysql --execute=\"SELECT 1", {"/usr/bin/mysql", "--execute=SELECT 1"}},

        // No words at all.
        {"empty line", "", {}},
        {"spaces only", "     ", {}},
        {"one space", " ", {}},
        // Space is the only separator.
        {"leading, trailing and repeated spaces", "   a    b  c   ", {"a", "b", "c"}},
        {"tab is part of a word", "a\tb c\t", {"a\tb", "c\t"}},
        {"newline is part of a word", "a\nb c", {"a\nb", "c"}},
        {"tabs only make one word", "\t\t", {"\t\t"}},
        {"no other white space separates", "a\vb\rc\fd", {"a\vb\rc\fd"}},
        // Empty arguments.
        {"two double quotes make an empty argument", "a \"\" b", {"a", "", "b"}},
        {"two single quotes make an empty argument", "a '' b", {"a", "", "b"}},
        {"several empty arguments", "\"\" '' \"\"", {"", "", ""}},
        // Groups.
        {"unclosed quote runs to the end, single spaces", "a \"b  c   d    e", {"a", "b c d e"}},
        {"unclosed single quote runs to the end", "x 'one  two\tthree", {"x", "one two\tthree"}},
        {"group closes at first joined word holding the quote", "x=\"a b\"c\" y", {"x=a bc", "y"}},
        {"a closing word with two quotes still closes", "\"a b\"\"c d", {"a bc", "d"}},
        {"three quotes in the head open a group", "x=\"a\"b\" c\" y", {"x=ab c", "y"}},
        {"even head: quotes deleted, nothing joined", "a\"b\"c d", {"abc", "d"}},
        {"even single-quoted head", "'a'b c", {"ab", "c"}},
        {"quotes deleted wherever they stand", "x=\"a b\" \"c\"d\"e\" f", {"x=a b", "cde", "f"}},
        {"double quote stays in a single-quoted group", "x='a \"b c' y", {"x=a \"b c", "y"}},
        {"double quote wins over single in the head", "a\"b'c d\" e", {"ab'c d", "e"}},
        {"a head holding both quotes is double-governed", "'a\"b c\"' d", {"'ab c'", "d"}},
        {"double quote in a single group neither closes it nor goes", "'a b\"c' d", {"a b\"c", "d"}},
        {"joined word's other quote does not close the group", "\"a 'b' c\" d", {"a 'b' c", "d"}},
        {"tab inside a group", "\"a\tb c\" d", {"a\tb c", "d"}},
        {"newline inside a group", "'a\nb c' d", {"a\nb c", "d"}},
        // The date rule.
        {"date rule leaves the joined word's quotes", "--stop-datetime=2024-01-31 \"23:59:59\"",
         {"--stop-datetime=2024-01-31 \"23:59:59\""}},
        {"date rule leaves an odd quote and does not group", "--stop-datetime=d 'x y'",
         {"--stop-datetime=d 'x", "y"}},
        {"keyword anywhere inside the head", "x--stop-datetimey z w", {"x--stop-datetimey z", "w"}},
        {"a joined keyword word does not chain", "--stop-datetime=1 --stop-datetime=2 z",
         {"--stop-datetime=1 --stop-datetime=2", "z"}},
        {"keyword inside a quoted group is not a rule", "x=\"a --stop-datetime\" b c", {"x=a --stop-datetime", "b", "c"}},
        {"quoted head with the keyword and even quotes joins nothing", "--stop-datetime=\"x\" y",
         {"--stop-datetime=x", "y"}},
        {"date rule joins across a run of spaces with one space", "--stop-datetime    a   b", {"--stop-datetime a", "b"}},
        {"tab in a date head", "--stop-datetime\t1 2 3", {"--stop-datetime\t1 2", "3"}},
        {"keyword is matched exactly", "--STOP-DATETIME a b", {"--STOP-DATETIME", "a", "b"}},
        {"a prefix of the keyword is no keyword", "--stop-datetim a b", {"--stop-datetim", "a", "b"}},
        // The head holding the keyword as the last word stores the head alone.
        {"keyword as the last word", "prog --stop-datetime", {"prog", "--stop-datetime"}},
        {"keyword as the last word before trailing spaces", "prog --stop-datetime=2024-01-31   ",
         {"prog", "--stop-datetime=2024-01-31"}},
        {"keyword as the only word", "--stop-datetime", {"--stop-datetime"}},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Split got = SplitLine(c.line);
        EXPECT_EQ(got.args, c.args) << "line [" << c.line << "]";
        EXPECT_EQ(got.count, static_cast<int>(c.args.size()));
        EXPECT_TRUE(got.nullTerminated) << "no null entry after the arguments";
    }
}

std::string Words(int n, const char* prefix = "a")
{
    std::string line;
    for (int i = 0; i < n; ++i)
        line += (i ? " " : "") + std::string(prefix) + std::to_string(i);
    return line;
}

TEST(SplitCommandLine, FortyNineArgumentsFitAndMoreAreCountedNotStored)
{
    {
        SCOPED_TRACE("49 words");
        const Split got = SplitLine(Words(kMaxArguments));
        ASSERT_EQ(got.count, kMaxArguments);
        ASSERT_EQ(got.args.size(), 49u);
        EXPECT_TRUE(got.nullTerminated) << "entry 50 must be the null one";
        EXPECT_EQ(got.args.front(), "a0");
        EXPECT_EQ(got.args.back(), "a48");
    }
    for (int n : {50, 51, 200}) {
        SCOPED_TRACE(std::to_string(n) + " words");
        const Split got = SplitLine(Words(n));
        EXPECT_EQ(got.count, n) << "the caller needs the true count to refuse the line";
        ASSERT_EQ(got.args.size(), 49u);
        EXPECT_TRUE(got.nullTerminated) << "entry 50 must still be null";
        EXPECT_EQ(got.args.back(), "a48");
    }
    {
        // 60 words grouped in pairs by quotes are 30 arguments: the limit
        // counts arguments, not words.
        std::string line;
        for (int i = 0; i < 30; ++i)
            line += "\"x" + std::to_string(i) + " y\" ";
        const Split got = SplitLine(line);
        EXPECT_EQ(got.count, 30);
        ASSERT_EQ(got.args.size(), 30u);
        EXPECT_EQ(got.args[29], "x29 y");
    }
    {
        // The longest line a caller may pass, made of the most words it can hold.
        std::string line;
        while (line.size() + 2 <= 2999)
            line += "a ";
        line.resize(2999, 'b');
        const Split got = SplitLine(line);
        EXPECT_EQ(got.count, 1500);
        EXPECT_EQ(got.args.size(), 49u);
        EXPECT_TRUE(got.nullTerminated);
    }
    {
        // One argument of the full length travels whole.
        const std::string word(2999, 'w');
        const Split got = SplitLine(word);
        ASSERT_EQ(got.args.size(), 1u);
        EXPECT_EQ(got.args[0], word);
    }
}

using splitmodel::Model;
using splitmodel::ModelArg;

size_t CountWords(const std::string& line)
{
    size_t n = 0;
    for (size_t i = 0; i < line.size(); ++i)
        n += line[i] != ' ' && (i == 0 || line[i - 1] == ' ') ? 1 : 0;
    return n;
}

TEST(SplitCommandLine, RandomLinesStayInBoundsAndKeepTheRules)
{
    std::mt19937 rng(20240131);
    const std::vector<std::string> pieces = {" ", " ", "  ", "\"", "'", "a", "bc", "x", "\t", "--stop-datetime", "=",
                                             "\n"};
    for (int round = 0; round < 3000; ++round) {
        std::string line;
        // Mostly short lines, and every so often one near the 2999-character limit.
        const size_t target = round % 10 == 0 ? 2999 : std::uniform_int_distribution<size_t>(0, 300)(rng);
        while (line.size() < target)
            line += pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(rng)];
        line.resize(std::min<size_t>(line.size(), 2999));

        SCOPED_TRACE("line [" + line + "]");
        const Split got = SplitLine(line);
        const std::vector<ModelArg> model = Model(line);

        ASSERT_TRUE(got.nullTerminated);
        ASSERT_LE(static_cast<size_t>(got.count), CountWords(line));
        ASSERT_EQ(got.count, static_cast<int>(model.size()));
        ASSERT_EQ(got.args.size(), std::min<size_t>(model.size(), kMaxArguments));
        for (size_t i = 0; i < got.args.size(); ++i) {
            ASSERT_LE(got.args[i].size(), line.size());
            if (model[i].quote != 0) {
                ASSERT_EQ(got.args[i].find(model[i].quote), std::string::npos)
                    << "argument " << i << " keeps its governing quote";
            }
            ASSERT_EQ(got.args[i], model[i].text) << "argument " << i;
        }
    }
}

}  // namespace
