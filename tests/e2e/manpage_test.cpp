// The manual pages against the programs: every option and command that a
// program's usage text offers is described in its page, and the page
// describes nothing the program does not accept. The pages must also render
// without warnings.
//
// The pages are read from the build tree (build/man), where the build
// copies them.

#include <cctype>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

using namespace harness;

fs::path ManPage(std::string_view file) { return BinDir().parent_path() / "man" / file; }

std::string ReadPage(std::string_view file) {
    const fs::path p = ManPage(file);
    EXPECT_TRUE(fs::is_regular_file(p)) << p << " is missing";
    return ReadFile(p);
}

// Replaces every occurrence of the program's path by its bare name, so that
// a dash in the build directory's path is not taken for an option.
std::string Bare(std::string text, const std::string& path, std::string_view name) {
    for (std::size_t at; (at = text.find(path)) != std::string::npos;)
        text.replace(at, path.size(), name);
    return text;
}

// The options a usage text shows: "-x" (a single letter after a dash) and
// "--word", each at the start of a word or after "[" or "(".
std::set<std::string> UsageOptions(std::string_view text) {
    std::set<std::string> options;
    auto letter = [&](std::size_t i) {
        return i < text.size() && std::isalpha(static_cast<unsigned char>(text[i]));
    };
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '-' || (i > 0 && std::string_view(" \t\n[(").find(text[i - 1]) ==
                                            std::string_view::npos))
            continue;
        if (text[i + 1] == '-') {
            std::size_t end = i + 2;
            while (letter(end) || (end < text.size() && text[end] == '-'))
                ++end;
            if (end > i + 2)
                options.insert(std::string(text.substr(i, end - i)));
        } else if (letter(i + 1) && !letter(i + 2)) {
            options.insert(std::string(text.substr(i, 2)));
        }
    }
    return options;
}

// The named sections of a --help text, whose headings are unindented
// capitals.
std::string HelpSections(const std::string& text, std::set<std::string> names) {
    std::string out;
    bool in = false;
    for (const auto& line : Lines(text)) {
        if (!line.empty() && std::isupper(static_cast<unsigned char>(line[0])))
            in = names.count(line) != 0;
        else if (in)
            out += line + "\n";
    }
    return out;
}

// The lines of one section (".Sh NAME" up to the next ".Sh") of an mdoc page.
std::vector<std::string> Section(const std::string& page, std::string_view name) {
    std::vector<std::string> lines;
    bool in = false;
    for (const auto& line : Lines(page)) {
        if (line.starts_with(".Sh "))
            in = line.substr(4) == name;
        else if (in)
            lines.push_back(line);
    }
    return lines;
}

// The options the page describes in an item list (".It Fl x ...").
std::set<std::string> DescribedOptions(const std::string& page) {
    std::set<std::string> options;
    for (const auto& line : Lines(page)) {
        if (!line.starts_with(".It Fl "))
            continue;
        const std::string flag = line.substr(7, line.find(' ', 7) - 7);
        options.insert("-" + flag);
    }
    return options;
}

// Every "Fl x" of the SYNOPSIS.
std::set<std::string> SynopsisOptions(const std::string& page) {
    std::set<std::string> options;
    for (const auto& line : Section(page, "SYNOPSIS")) {
        for (std::size_t at = 0; (at = line.find("Fl ", at)) != std::string::npos; at += 3) {
            if (at > 0 && line[at - 1] != ' ' && line[at - 1] != '.')
                continue;
            const std::size_t end = line.find(' ', at + 3);
            options.insert("-" + line.substr(at + 3, end == std::string::npos ? end : end - at - 3));
        }
    }
    return options;
}

std::string Joined(const std::set<std::string>& s) {
    std::string out;
    for (const auto& x : s)
        out += x + " ";
    return out;
}

// The options of the usage text, described in the page's option list and
// shown in its synopsis; and nothing described that the program lacks.
void ExpectPageMatchesUsage(const std::set<std::string>& usage, const std::string& page) {
    const auto described = DescribedOptions(page);
    const auto synopsis = SynopsisOptions(page);
    for (const auto& o : usage) {
        EXPECT_TRUE(described.count(o)) << o << " is not described; described: " << Joined(described);
        EXPECT_TRUE(synopsis.count(o)) << o << " is not in the synopsis: " << Joined(synopsis);
    }
    for (const auto& o : described)
        EXPECT_TRUE(usage.count(o)) << o << " is described but not in the usage text: "
                                    << Joined(usage);
}

// The option letters of a getopt option string ("vs:" -> -v -s).
std::set<std::string> GetoptLetters(std::string_view optstring) {
    std::set<std::string> letters;
    for (const char c : optstring)
        if (c != ':')
            letters.insert(std::string("-") + c);
    return letters;
}

// A page that lags behind its program leaves users guessing: each option of
// the usage text must be described, and no option the program lacks.
TEST(ManPages, VarnelPageDescribesEveryUsageOption) {
    const std::string path = Bin("varnel").string();
    const auto r = harness::Run({path});
    ASSERT_EQ(r.status, 1);
    const auto usage = UsageOptions(Bare(r.err, path, "varnel"));
    // The usage text shows every letter of the option string.
    ASSERT_EQ(usage, GetoptLetters("P:vr:f:u:h:s:p:j:")) << r.err;
    ExpectPageMatchesUsage(usage, ReadPage("varnel.1"));
}

TEST(ManPages, VarneldPageDescribesEveryUsageOption) {
    const std::string path = Bin("varneld").string();
    const auto r = harness::Run({path, "-Z"});
    ASSERT_EQ(r.status, 1);
    const auto usage = UsageOptions(Bare(r.out, path, "varneld"));
    ASSERT_EQ(usage, GetoptLetters("vs:")) << r.out;
    ExpectPageMatchesUsage(usage, ReadPage("varneld.8"));
}

TEST(ManPages, SpxpeerPageDescribesEveryCommandAndOption) {
    const std::string path = Bin("spxpeer").string();
    const auto r = harness::Run({path});
    ASSERT_EQ(r.status, 1);
    const auto help = harness::Run({path, "--help"});
    ASSERT_EQ(help.status, 0);
    const std::string text = Bare(r.err, path, "spxpeer");
    auto usage = UsageOptions(text);
    ASSERT_TRUE(usage.count("-r") && usage.count("--help")) << text;
    // Nor may the synopsis and option list of --help offer more.
    for (const auto& o : UsageOptions(HelpSections(help.out, {"SYNOPSIS", "OPTIONS"})))
        usage.insert(o);
    const std::string page = ReadPage("spxpeer.1");
    ExpectPageMatchesUsage(usage, page);

    // The commands: the word after the program's name on each usage line.
    std::set<std::string> commands;
    for (const auto& line : Lines(text)) {
        const auto at = line.find("spxpeer ");
        if (at == std::string::npos)
            continue;
        std::size_t end = at + 8;
        while (end < line.size() && std::islower(static_cast<unsigned char>(line[end])))
            ++end;
        if (end > at + 8)
            commands.insert(line.substr(at + 8, end - at - 8));
    }
    ASSERT_FALSE(commands.empty()) << text;
    std::string synopsis;
    for (const auto& line : Section(page, "SYNOPSIS"))
        synopsis += line + "\n";
    for (const auto& c : commands) {
        EXPECT_NE(page.find("\n.It Cm " + c), std::string::npos) << c << " is not described";
        EXPECT_NE(synopsis.find(".Cm " + c + "\n"), std::string::npos) << c << " not in the synopsis";
    }
}

// A page with broken markup shows garbage or loses text under man(1); a page
// whose header names another section is filed in the wrong place.
TEST(ManPages, RenderWithoutWarningsUnderTheirOwnNameAndSection) {
    const char* groff = access("/usr/bin/groff", X_OK) == 0 ? "/usr/bin/groff" : nullptr;
    const char* mandoc = access("/usr/bin/mandoc", X_OK) == 0 ? "/usr/bin/mandoc" : nullptr;
    if (groff == nullptr && mandoc == nullptr)
        GTEST_SKIP() << "neither groff nor mandoc is installed: the pages cannot be checked";
    for (const char* file : {"varnel.1", "varneld.8", "spxpeer.1", "yellowpages.5"}) {
        const fs::path p = ManPage(file);
        ASSERT_TRUE(fs::is_regular_file(p)) << p;
        const std::string name(file, std::string_view(file).find('.'));
        const std::string section(std::string_view(file).substr(name.size() + 1));
        std::string upper;
        for (const char c : name)
            upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_NE(ReadFile(p).find("\n.Dt " + upper + " " + section + "\n"), std::string::npos)
            << file;
        if (groff != nullptr) {
            const auto r = harness::Run({groff, "-ww", "-mandoc", "-Tutf8", "-z", p.string()});
            EXPECT_EQ(r.status, 0) << file;
            EXPECT_EQ(r.err, "") << file;
        }
        if (mandoc != nullptr) {
            const auto r = harness::Run({mandoc, "-T", "lint", "-W", "warning", p.string()});
            EXPECT_EQ(r.status, 0) << file << ": " << r.out << r.err;
        }
    }
}

} // namespace
