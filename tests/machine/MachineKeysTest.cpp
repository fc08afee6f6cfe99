// Every machine-file key is spelled once, in machine/Format.h: the format's
// table, the reader, the writer, the schema and the capture's builder reach
// it by name.  A second spelling is how the copies drifted apart before.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "machine/Format.h"

namespace {

namespace format = machine::format;

struct Literal {
    size_t line;
    std::string text;
};

// The ordinary string literals of C++ source text.  Comments and character
// literals are skipped, and so are raw strings: they hold data, such as
// whole machine files.
std::vector<Literal> Literals(const std::string &src) {
    std::vector<Literal> out;
    size_t line = 1;
    for (size_t i = 0; i < src.size(); ++i) {
        const char c = src[i];
        if (c == '\n') {
            ++line;
        } else if (src.compare(i, 2, "//") == 0) {
            while (i + 1 < src.size() && src[i + 1] != '\n') ++i;
        } else if (src.compare(i, 2, "/*") == 0) {
            const size_t end = src.find("*/", i + 2);
            const size_t stop = end == std::string::npos ? src.size() : end + 1;
            for (; i < stop; ++i) line += src[i] == '\n';
        } else if (c == 'R' && i + 1 < src.size() && src[i + 1] == '"') {
            const size_t open = src.find('(', i);
            std::string close = ")";  // appended in steps: GCC 12 warns falsely on "literal" + string
            close += src.substr(i + 2, open - i - 2);
            close += '"';
            const size_t end = src.find(close, open);
            const size_t stop = end == std::string::npos ? src.size() : end + close.size() - 1;
            for (; i < stop; ++i) line += src[i] == '\n';
        } else if (c == '"' || c == '\'') {
            std::string text;
            for (++i; i < src.size() && src[i] != c && src[i] != '\n'; ++i) {
                if (src[i] == '\\' && i + 1 < src.size()) text += src[i++];
                text += src[i];
            }
            if (c == '"') out.push_back({line, text});
        }
    }
    return out;
}

TEST(MachineKeys, LiteralsAreFoundOutsideCommentsAndRawStrings) {
    const struct {
        const char *source;
        std::vector<std::string> literals;
    } cases[] = {
        {"f(\"open_error\");", {"open_error"}},
        {"// \"open_error\"\nf(\"a\");", {"a"}},
        {"/* \"open_error\"\n */ \"b\"", {"b"}},
        {"R\"x({\"open_error\": 1})x\" \"c\"", {"c"}},
        {"'\"' \"d\\\"e\"", {"d\\\"e"}},
    };
    for (const auto &c : cases) {
        std::vector<std::string> texts;
        for (const Literal &l : Literals(c.source)) texts.push_back(l.text);
        EXPECT_EQ(texts, c.literals) << c.source;
    }
    const std::vector<Literal> lines = Literals("a\n/* x\n */\n\"id\"");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].line, 4u);
}

#ifndef _WIN32  // the sources are read from the build machine's file system
void AddKeys(const format::Entry &entry, std::set<std::string> &keys, std::set<const format::Entry *> &seen) {
    if (!seen.insert(&entry).second) return;
    for (const format::Field &f : entry.fields) {
        keys.insert(f.key);
        if (f.entry != nullptr) AddKeys(*f.entry, keys, seen);
    }
}

// Every key of every entry reached from the top, and those of the value
// forms that are not entries of their own.
std::set<std::string> AllKeys() {
    std::set<std::string> keys{format::key::kType, format::key::kValue, format::key::kBytes,
                               format::key::kError, format::key::kStatus, format::key::kMissingExports};
    std::set<const format::Entry *> seen;
    AddKeys(format::kMachine, keys, seen);
    return keys;
}

// Where a key's text may stand for something else.
bool SpelledForAnotherReason(const std::string &file, const std::string &text) {
    // JSON Schema's own vocabulary, which some keys share: the schema's
    // entries, and the codecs' descriptions of the value forms.
    if (file == "machine/Schema.cpp" || file == "machine/Codecs.cpp")
        return text == "type" || text == "object" || text == "properties" || text == "description" || text == "$schema";
    // The report's own output (docs/report.md) names its fields as it likes;
    // it reads machine files only through report/Machine.cpp.
    return file.rfind("report/", 0) == 0 && file.rfind("report/Machine.", 0) != 0;
}

TEST(MachineKeys, EachIsSpelledOnlyInTheFormat) {
    const std::filesystem::path root = TARSEL_SOURCE_DIR;
    const std::set<std::string> keys = AllKeys();
    ASSERT_TRUE(keys.count(format::key::kOpenError));
    std::ostringstream found;
    size_t scanned = 0;
    for (const char *folder : {"app", "capture", "collect", "device", "hostio", "machine", "platform", "release",
                               "report", "sim", "storage", "usb"}) {
        for (const auto &e : std::filesystem::recursive_directory_iterator(root / folder)) {
            const std::string ext = e.path().extension().string();
            if (!e.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
            const std::string file = std::filesystem::relative(e.path(), root).generic_string();
            if (file == "machine/Format.h") continue;
            std::ifstream in(e.path(), std::ios::binary);
            const std::string src((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            ++scanned;
            for (const Literal &l : Literals(src))
                if (keys.count(l.text) && !SpelledForAnotherReason(file, l.text))
                    found << file << ":" << l.line << ": \"" << l.text << "\"\n";
        }
    }
    EXPECT_GT(scanned, 50u);
    EXPECT_EQ(found.str(), "") << "machine keys spelled outside machine/Format.h; use format::key:: names";
}
#endif

}  // namespace
