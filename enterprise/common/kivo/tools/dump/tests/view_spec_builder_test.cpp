// Building the query from the command line: the three forms, their order, and the queries that
// are refused.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "core/common/error/error.h"
#include "enterprise/common/kivo/tools/dump/view_spec_builder.h"
#include "enterprise/common/zaph/parser/file_io.h"
#include "enterprise/common/zaph/trace_unit.h"
#include "tests/support/temporary_folder.h"

namespace {

struct Built {
    std::string pattern;  // printouts; "null" for no unit
    std::string options;
    std::string output;  // what the building wrote to standard output
    Common::Error error;
};

Built Build(std::vector<std::string> words) {
    std::vector<char*> argv;
    std::string program = "kivo_dump";
    argv.push_back(program.data());
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    KivoDump::Arguments arguments(static_cast<int>(argv.size()), argv.data());
    Built built;
    testing::internal::CaptureStdout();
    if (!arguments.Parse()) {
        built.output = testing::internal::GetCapturedStdout();
        ADD_FAILURE() << "bad command line";
        return built;
    }
    auto show = [](const Zaph::View::SharedUnitPtr& unit) {
        return unit ? Zaph::Util::TraceUnitToString(*unit, "", false) : "null";
    };
    try {
        const Kivo::ViewSpec spec = KivoDump::MakeViewSpec(arguments);
        built.pattern = show(spec.Pattern);
        built.options = show(spec.Options);
    } catch (const Common::Error& error) {
        built.error = error;
    }
    built.output = testing::internal::GetCapturedStdout();
    return built;
}

// The folder of the files that the queries read.
const KivoTestSupport::TemporaryFolder& Folder() {
    static const KivoTestSupport::TemporaryFolder folder("view_spec_builder_");
    return folder;
}

// The file `name` of the folder, holding `content`.
std::string FileOf(const std::string& name, const std::string& content) {
    std::ofstream(Folder().File(name), std::ios::binary) << content;
    return Folder().File(name);
}

const char kMachinePattern[] = "Root (Composite)  [Is (Common::String) = Machine]";

TEST(MakeViewSpec, AnObjectTypeIsTheSameUnitAsItsPatternText) {
    const Built type = Build({"h", "u", "p", "kivo", "Machine"});
    EXPECT_EQ(type.pattern, kMachinePattern);
    EXPECT_EQ(type.options, "null");
    EXPECT_EQ(type.output, "");
    const Built text = Build({"h", "u", "p", "QOR", "pattern",
                              R"(.Composite().Trait("Is").String("Machine").End().End())"});
    EXPECT_EQ(text.pattern, type.pattern);
    EXPECT_EQ(Build({"h", "u", "p", "DB", "M\xC3\xBCller"}).pattern,
              "Root (Composite)  [Is (Common::String) = M\xC3\xBCller]");
}

TEST(MakeViewSpec, OptionsAreReadAndTracedBeforeThePattern) {
    const Built both = Build({"h", "u", "p", "QOR", "pattern", "Nil().End()", "options",
                              "Composite().Property('Limit').DWord(5).End().End()"});
    EXPECT_EQ(both.pattern, "Root (NIL)");
    EXPECT_EQ(both.options, "Root (Composite)  Limit (unsigned long) = 5");
    EXPECT_EQ(both.output,
              "Interpret trace: .Composite().Property(\"Limit\").Dword(5).End().End()\n"
              "Interpret trace: .Nil().End()\n");
    // When both are malformed, the options' error is raised and the pattern is never read.
    const Built bad = Build({"h", "u", "p", "QOR", "pattern", "P", "options", "Nil("});
    EXPECT_EQ(bad.error.Code(), 1u);
    // The unfinished trace line is ended, so that the error text starts a line of its own.
    EXPECT_EQ(bad.output, "Interpret trace: .Nil()\n");
}

TEST(MakeViewSpec, FilesAreReadOptionsFirst) {
    const std::string pattern =
        FileOf("pattern", ".Composite().Trait(\"Is\").String(\"Machine\").End().End()\n");
    const std::string options = FileOf("options", "Nil().End()");
    const Built built =
        Build({"h", "u", "p", "QOR", "pattern_file", pattern, "options_file", options, "report"});
    EXPECT_EQ(built.pattern, kMachinePattern);
    EXPECT_EQ(built.options, "Root (NIL)");
    EXPECT_EQ(built.output,
              "Interpret trace: .Nil().End()\nInterpret trace: "
              ".Composite().Trait(\"Is\").String(\"Machine\").End().End()\n");

    const Built missing =
        Build({"h", "u", "p", "QOR", "pattern_file", pattern, "options_file", "/no/such/options"});
    EXPECT_EQ(missing.error.Code(), Utils::kCannotReadFile);
    EXPECT_EQ(missing.output, "");
}

TEST(MakeViewSpec, AQueryThatWouldMatchEverythingIsRefused) {
    const std::string empty = FileOf("empty", "");
    const std::vector<std::vector<std::string>> refused = {
        {"h", "u", "p", "QOR", "pattern", "   "},
        {"h", "u", "p", "QOR", "pattern", ".Composite()"},
        {"h", "u", "p", "QOR", "pattern", "", "options", "Nil().End()"},
        {"h", "u", "p", "QOR", "pattern_file", empty},
        {"h", "u", "p", "QOR", "pattern", "Nil().End()", "options", " "},
        {"h", "u", "p", "QOR", "pattern_file", "", "options_file", empty},
    };
    for (const auto& words : refused) {
        const Built built = Build(words);
        EXPECT_EQ(built.error.Code(), KivoDump::kQueryWithoutPattern) << words[5];
        EXPECT_EQ(built.pattern, "") << words[5];
    }
    // No options at all is no options.
    EXPECT_EQ(Build({"h", "u", "p", "QOR", "pattern", "Nil().End()"}).options, "null");
}

}  // namespace
