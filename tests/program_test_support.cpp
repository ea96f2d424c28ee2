#include "tests/program_test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace KivoProgramTest {
namespace {

// The GUID text of disk `n`.
std::string DiskId(unsigned n) {
    char id[40];
    std::snprintf(id, sizeof id, "%08X-D15C-0000-0000-000000000000", n);
    return id;
}

std::string Disk(unsigned n, const std::string& name, const std::string& type = "Disk") {
    return ".Composite().Trait(\"Is\").String(\"" + type + "\").End().Trait(\"PrimaryKey\").Guid(" +
           DiskId(n) + ").End().Property(\"Name\").String(\"" + name + "\").End().End()";
}

// The first line of a change record of disk `n`.
std::string Header(const char* tag, unsigned n) {
    return std::string("<") + tag + " id=\"" + DiskId(n) + "\" time=\"T\">\n";
}

}  // namespace

std::string DumpProgram() {
    return KivoTestSupport::ProgramPath("kivo_dump");
}
std::string StoreProgram() {
    return KivoTestSupport::ProgramPath("kivo_store");
}

bool RunStore(const std::string& store, const std::string& arguments) {
    return KivoTestSupport::RunCommand(StoreProgram() + " '" + store + "' " + arguments +
                                       " </dev/null >/dev/null 2>&1")
               .status == 0;
}

Outcome DbReport(const std::string& store, const std::string& query) {
    return KivoTestSupport::RunCommand(DumpProgram() + " '" + store + "' u p DB " + query +
                                       " report </dev/null 2>/dev/null");
}

std::string SampleAndDisksImport(const std::string& folder) {
    const char* source = std::getenv("KIVO_SOURCE_DIR");
    EXPECT_NE(source, nullptr);
    const std::string disks = folder + "/disks.txt";
    std::ofstream file(disks);
    for (unsigned n = 1; n <= 1994; ++n)
        file << Disk(n, "disk-" + std::to_string(n)) << "\n";
    return std::string("import --create '") + (source != nullptr ? source : "") +
           "/tools/kivo_store/sample/objects.txt' '" + disks + "'";
}

size_t Objects(const std::string& report) {
    size_t objects = 0;
    for (size_t at = 0; (at = report.find("<object id=", at)) != std::string::npos; ++at)
        ++objects;
    return objects;
}

::testing::AssertionResult SameReport(const std::string& db, const std::string& other) {
    if (db == other)
        return ::testing::AssertionSuccess();
    const auto differ = std::mismatch(db.begin(), db.end(), other.begin(), other.end());
    return ::testing::AssertionFailure()
           << "from byte " << differ.first - db.begin() << ": DB\n"
           << std::string(differ.first, db.end()).substr(0, 400) << "\nother\n"
           << std::string(differ.second, other.end()).substr(0, 400);
}

::testing::AssertionResult NoSanitizerReport(const std::string& path) {
    const std::string log = KivoTestSupport::ReadFile(path);
    if (log.find("Sanitizer") == std::string::npos &&
        log.find("runtime error:") == std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << path << ":\n" << log;
}

std::string WithoutTimes(std::string output, std::vector<std::string>& times) {
    for (size_t begin = 0; (begin = output.find(" time=\"", begin)) != std::string::npos;) {
        begin += 7;
        const size_t end = output.find('"', begin);
        times.push_back(output.substr(begin, end - begin));
        output.replace(begin, end - begin, "T");
    }
    return output;
}

std::string DiskArgument(unsigned n, const std::string& name, const std::string& type) {
    return " '" + Disk(n, name, type) + "'";
}

std::string CreatedDisk(unsigned n, const std::string& name) {
    return Header("created", n) +
           "  Root (Composite)\n"
           "    [Is (Common::String) = Disk]\n"
           "    [PrimaryKey (Common::Guid) = " +
           DiskId(n) + "]\n    Name (Common::String) = " + name + "\n</created>\n\n";
}

std::string UpdatedDisk(unsigned n, const std::string& name) {
    return Header("updated", n) + "  <key>\n    Root (Common::Guid) = " + DiskId(n) +
           "\n  </key>\n  <diff>\n    Root (Composite)\n      Name (Common::String) = " + name +
           "\n  </diff>\n</updated>\n\n";
}

std::string DeletedDisk(unsigned n) {
    return Header("deleted", n) + "  Root (Common::Guid) = " + DiskId(n) + "\n</deleted>\n\n";
}

std::string ListeningStore() {
    return "put --create" + DiskArgument(1, "a") + DiskArgument(9, "t", "Tape") +
           DiskArgument(2, "b");
}

std::string ListeningSnapshot() {
    return CreatedDisk(1, "a") + CreatedDisk(2, "b");
}

std::vector<std::string> ListeningWrites() {
    return {"put" + DiskArgument(3, "c"),
            "update" + DiskArgument(1, "a2") + DiskArgument(9, "u", "Tape"),
            "delete" + DiskArgument(9, "t", "Tape") + DiskArgument(2, "b")};
}

std::string ListeningChanges() {
    return CreatedDisk(3, "c") + UpdatedDisk(1, "a2") + DeletedDisk(2);
}

Outcome ListenToChanges(const std::string& command, const std::string& store, const Action& end,
                        const std::vector<std::string>& writes) {
    const Action write = [&](pid_t, int&) {
        for (const std::string& change : writes)
            EXPECT_TRUE(RunStore(store, change)) << change;
    };
    std::vector<KivoTestSupport::Step> steps = {{"= b\n</created>\n\n", write}};
    if (end)
        steps.push_back({"</deleted>\n\n", end});
    Outcome outcome = KivoTestSupport::RunCommand(command, steps);
    std::vector<std::string> times;
    outcome.output = WithoutTimes(std::move(outcome.output), times);
    return outcome;
}

}  // namespace KivoProgramTest
