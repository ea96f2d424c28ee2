// The command line of kivo_dump:
//
//   kivo_dump <hostname> <user> <password> <service> <query>
//     <service> - QOR | YEB | TUK | KIVO | DB   (any case; stored upper-cased)
//     <query>   - <object_type>
//               | pattern <pattern> [options <options>]
//               | pattern_file <filename> [options_file <filename>] [report]
//
// A last argument "report" is taken first and takes no further part. Keywords compare exactly
// and case-sensitively; a word after the pattern that is not an options keyword is dropped, and
// anything after the options is ignored. Arguments are byte strings, stored unchanged.
//
// Thread-safety: one thread.
#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace KivoDump {

/// Error codes of the command line.
inline constexpr uint32_t kNotEnoughArguments = 1;
inline constexpr uint32_t kUnknownService = 2;

/// The command line: reads the arguments into the fields below.
class Arguments {
  public:
    /// Keeps `argc` and `argv`; nothing is read until Parse.
    Arguments(int argc, char** argv);

    /// Reads the whole command line. On failure, prints the fields read so far and the error's
    /// code to standard output and returns false.
    bool Parse();

    /// A copy of argument `index`; throws Common::Error code 1 when it is not below the count.
    std::string Arg(uint32_t index) const;

    /// `word` upper-cased; throws Common::Error code 2 when that is not an accepted service.
    std::string FindService(const std::string& word) const;

    std::string host;  ///< host name; in DB mode the store's connection string
    std::string user;
    std::string password;
    std::string service;      ///< an accepted service keyword, upper case
    std::string objectType;   ///< the query word when it is no pattern keyword
    std::string pattern;      ///< text after "pattern"
    std::string patternFile;  ///< file name after "pattern_file"
    std::string options;      ///< text after "options"
    std::string optionsFile;  ///< file name after "options_file"
    std::string report;       ///< "report" when the last argument is that word

  private:
    std::string Take() { return Arg(next_++); }
    void ReadOptions();
    void PrintFailure(uint32_t code) const;

    uint32_t count_;
    char** vector_;
    uint32_t next_ = 1;
    std::set<std::string> acceptedServices_;
};

/// Writes the five lines of the usage text to standard output.
void PrintUsage();

}  // namespace KivoDump
