#include "tests/program_test_support.h"

namespace KivoProgramTest {

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

size_t Objects(const std::string& report) {
    size_t objects = 0;
    for (size_t at = 0; (at = report.find("<object id=", at)) != std::string::npos; ++at)
        ++objects;
    return objects;
}

std::string WithoutTimes(const std::string& output, std::vector<std::string>& times) {
    std::string kept;
    size_t from = 0;
    for (size_t begin, end; (begin = output.find(" time=\"", from)) != std::string::npos &&
                            (end = output.find('"', begin + 7)) != std::string::npos;
         from = end) {
        times.push_back(output.substr(begin + 7, end - begin - 7));
        kept.append(output, from, begin + 7 - from).append("T");
    }
    return kept.append(output, from);
}

}  // namespace KivoProgramTest
