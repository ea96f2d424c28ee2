#include "enterprise/common/kivo/tools/dump/arguments.h"

#include <cctype>

#include "core/common/error/error.h"
#include "enterprise/common/kivo/tools/dump/output.h"

namespace KivoDump {

Arguments::Arguments(int argc, char** argv)
    : count_(argc > 0 ? static_cast<uint32_t>(argc) : 0),
      vector_(argv),
      acceptedServices_{"DB", "QOR", "YEB", "TUK", "KIVO"} {}

std::string Arguments::Arg(uint32_t index) const {
    if (index >= count_) {
        throw Common::Error(COMMON_PLACE("Arguments::Arg"), kNotEnoughArguments,
                            "Not enought arguments specified");
    }
    return vector_[index] != nullptr ? std::string(vector_[index]) : std::string();
}

std::string Arguments::FindService(const std::string& word) const {
    std::string upper = word;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (acceptedServices_.count(upper) == 0) {
        throw Common::Error(COMMON_PLACE("Arguments::FindService"), kUnknownService,
                            "Unknown service specified");
    }
    return upper;
}

bool Arguments::Parse() {
    try {
        if (Arg(count_ - 1) == "report") {
            report = "report";
            --count_;
        }
        host = Take();
        user = Take();
        password = Take();
        service = FindService(Take());
        const std::string query = Take();
        if (query == "pattern") {
            pattern = Take();
            ReadOptions();
        } else if (query == "pattern_file") {
            patternFile = Take();
            ReadOptions();
        } else {
            objectType = query;
        }
        return true;
    } catch (const Common::Error& error) {
        PrintFailure(error.Code());
        return false;
    }
}

void Arguments::ReadOptions() {
    if (next_ >= count_) {
        return;
    }
    const std::string word = Take();
    if (word == "options") {
        options = Take();
    } else if (word == "options_file") {
        optionsFile = Take();
    }
}

void Arguments::PrintFailure(uint32_t code) const {
    WriteLine(host + "," + user + "," + password + "," + service + "," + objectType + "," +
              pattern + "," + patternFile + "," + options + "," + optionsFile + "," + report + ".");
    WriteLine("code: " + std::to_string(code));
}

void PrintUsage() {
    WriteLine("Usage: kivo_dump.exe <hostname> <user> <password> <service> <query>");
    WriteLine("Where: <service> - QOR | YEB | TUK | KIVO | DB");
    WriteLine("       <query> - <object_type>");
    WriteLine("               | pattern <pattern> [options <options>]");
    WriteLine("               | pattern_file <filename> [options_file <filename>] [report]");
}

}  // namespace KivoDump
