#include "tools/kivo_store/store_command.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/exit_status.h"
#include "core/common/text.h"
#include "core/common/version.h"
#include "enterprise/common/zaph/parser/file_io.h"
#include "enterprise/common/zaph/parser/unit_construction_format.h"
#include "enterprise/common/zaph/unit_factory.h"
#include "platform/store/store.h"
#include "platform/store/store_errors.h"
#include "tools/kivo_store/retention_command.h"

namespace KivoStoreTool {
namespace {

constexpr const char* kSynopsis =
    "usage: kivo_store <connection> create [--if-missing] [age=<seconds>] [entries=<count>]\n"
    "       kivo_store <connection> put [--create] <object>...\n"
    "       kivo_store <connection> update <object>...\n"
    "       kivo_store <connection> delete <object or key>...\n"
    "       kivo_store <connection> import [--create] [<file>...]\n"
    "       kivo_store <connection> retention [age=<seconds>] [entries=<count>]\n"
    "       kivo_store --help | --version\n";

constexpr const char* kDescription =
    "Fills an object store. Objects are written in the unit construction text format, one per\n"
    "argument, or any number in each file (\"-\" or no file: standard input). A command applies\n"
    "all of its objects in one transaction, so all take effect or none. put and import store or\n"
    "update each object; update and delete need it stored. --create makes the store first when\n"
    "its file is missing; create --if-missing leaves a store that is already there as it is.\n"
    "age= and entries= bound the change log that listeners read. See kivo_store(1).\n";

Common::Error Usage(const Common::SourceLocation& place, const std::string& what) {
    return Common::Error(place, kUsage, what);
}

struct Command {
    std::u16string connection;
    std::string verb;
    bool create = false;
    bool ifMissing = false;
    std::vector<std::string> arguments;
};

Command ParseCommand(int argc, char** argv) {
    if (argc == 2 &&
        (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "--version"))
        return Command{{}, argv[1], false, false, {}};
    if (argc < 3)
        throw Usage(COMMON_PLACE("KivoStoreTool::ParseCommand"),
                    argc < 2 ? "a connection string and a command are needed"
                             : "a command is needed after the connection string");
    Command command;
    command.verb = argv[2];
    for (int i = 3; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument == "--create" && command.arguments.empty() && !command.create)
            command.create = true;
        else if (argument == "--if-missing" && command.verb == "create")
            command.ifMissing = true;
        else
            command.arguments.emplace_back(argument);
    }
    static const char* const kVerbs[] = {"create", "put",    "update",
                                         "delete", "import", "retention"};
    if (std::find(std::begin(kVerbs), std::end(kVerbs), command.verb) == std::end(kVerbs))
        throw Usage(COMMON_PLACE("KivoStoreTool::ParseCommand"),
                    "'" + command.verb + "' is not a command of kivo_store");
    if (command.create && command.verb != "put" && command.verb != "import")
        throw Usage(COMMON_PLACE("KivoStoreTool::ParseCommand"),
                    "--create is only for put and import");
    const bool takesObjects =
        command.verb == "put" || command.verb == "update" || command.verb == "delete";
    if (takesObjects && command.arguments.empty())
        throw Usage(COMMON_PLACE("KivoStoreTool::ParseCommand"),
                    command.verb + " needs at least one object");
    command.connection = KivoStore::DecodeConnectionString(argv[1]);
    return command;
}

// One input of a command: the text of an argument or of a file, read before the store is
// opened for writing, and what to call it in an error.
struct Input {
    std::string name;
    std::vector<uint8_t> bytes;
};

// The bytes of the file `name` ("-": standard input). A name that is not UTF-8 is refused: the
// file layer would open another name.
std::vector<uint8_t> ReadFile(const std::string& name) {
    std::vector<uint8_t> bytes;
    if (name == "-") {
        Utils::StandardInputReader().ReadData(bytes);
        return bytes;
    }
    Utils::FileReader(Utils::FileNameFromUtf8(name)).ReadData(bytes);
    return bytes;
}

// Every input of the command, read whole before anything is written: a slow or stuck input
// never holds the store's write lock.
std::vector<Input> ReadInputs(const Command& command) {
    std::vector<Input> inputs;
    if (command.verb == "import") {
        std::vector<std::string> files = command.arguments;
        if (files.empty())
            files.emplace_back("-");
        for (const std::string& file : files)
            inputs.push_back(Input{"The file '" + file + "'", ReadFile(file)});
        return inputs;
    }
    for (size_t i = 0; i < command.arguments.size(); ++i) {
        const std::string& text = command.arguments[i];
        inputs.push_back(Input{"Argument " + std::to_string(i + 1),
                               std::vector<uint8_t>(text.begin(), text.end())});
    }
    return inputs;
}

// Applies each unit of `input` to `batch` with the command's operation; returns how many. An
// error of the text is raised inside one of the same code that names the input, so the exit
// status is the text format's; errors of the store pass as they are.
size_t ApplyUnits(const Input& input, const std::string& verb, KivoStore::WriteBatch& batch) {
    Utils::BytesReader reader(
        std::string_view(reinterpret_cast<const char*>(input.bytes.data()), input.bytes.size()));
    bool applying = false;
    try {
        return Utils::UnitConstructionFormat::ReadEach(
            reader, Zaph::Construction::DefaultUnitFactory(),
            [&](Zaph::Construction::UnitPtr unit) {
                const Zaph::View::SharedUnitPtr object(std::move(unit));
                applying = true;
                if (verb == "update")
                    batch.UpdateObject(object);
                else if (verb == "delete")
                    batch.DeleteObject(object);
                else
                    batch.StoreOrUpdate(object, nullptr);
                applying = false;
            },
            Utils::ReadMode::Strict);
    } catch (const Common::Error& error) {
        if (applying)
            throw;
        throw Common::Error(COMMON_PLACE("KivoStoreTool::ApplyUnits"), error.Code(),
                            "KIVO: " + input.name + " is not a sequence of complete objects.")
            .Add(error);
    }
}

// Writes `text` to `out` and flushes; a text that could not be written is an error.
void WriteOut(std::ostream& out, const std::string& text) {
    errno = 0;
    out << text << std::flush;
    if (!out) {
        Common::Error failure(COMMON_PLACE("KivoStoreTool::Execute"), kOutputFailed,
                              "KIVO: Standard output could not be written: what was done was not "
                              "reported.");
        if (errno != 0)
            failure.AddWindowsError(static_cast<uint32_t>(errno));
        throw failure;
    }
}

// Makes the store of `command`; true when it made one. With --if-missing a store of this library
// that is already there is opened (so a file that is no store, or a newer one, is still an
// error) and left as it is: false.
bool CreateStore(const Command& command, const KivoStore::Retention& retention) {
    try {
        KivoStore::CreateStore(command.connection, retention);
        return true;
    } catch (const Common::Error& error) {
        if (!command.ifMissing || error.Code() != KivoStore::kStoreExists)
            throw;
    }
    (void)KivoStore::Store::Open(command.connection);
    return false;
}

void Execute(const Command& command, std::ostream& out) {
    if (command.verb == "--help") {
        WriteOut(out, std::string(kSynopsis) + kDescription);
        return;
    }
    if (command.verb == "--version") {
        WriteOut(out, std::string("kivo_store ") + Common::kVersion + "\n");
        return;
    }
    if (command.verb == "create") {
        const std::string name = KivoStore::ConnectionDisplayName(command.connection);
        if (CreateStore(command, ApplyRetentionWords({}, command.arguments)))
            WriteOut(out, "created the store " + name + "\n");
        else
            WriteOut(out, "the store " + name + " is there already\n");
        return;
    }
    if (command.verb == "retention") {
        WriteOut(out, RunRetention(command.connection, command.arguments));
        return;
    }
    const std::vector<Input> inputs = ReadInputs(command);
    // An in-memory store is made by opening it.
    if (command.create && !KivoStore::ParseConnectionString(command.connection).inMemory) {
        try {
            KivoStore::CreateStore(command.connection);
        } catch (const Common::Error& error) {
            if (error.Code() != KivoStore::kStoreExists)
                throw;
        }
    }
    std::shared_ptr<KivoStore::Store> store = KivoStore::Store::Open(command.connection);
    std::unique_ptr<KivoStore::WriteBatch> batch = store->BeginBatch();
    for (const Input& input : inputs) {
        if (ApplyUnits(input, command.verb, *batch) == 0 && command.verb != "import")
            throw Usage(COMMON_PLACE("KivoStoreTool::Execute"),
                        input.name + " holds no complete object (every unit ends with End())");
    }
    batch->Commit();
    const KivoStore::BatchCounts& counts = batch->Counts();
    WriteOut(out, "created " + std::to_string(counts.created) + ", updated " +
                      std::to_string(counts.updated) + ", unchanged " +
                      std::to_string(counts.unchanged) + ", deleted " +
                      std::to_string(counts.deleted) + "\n");
}

}  // namespace

int Run(int argc, char** argv, const Streams& streams) {
    try {
        Execute(ParseCommand(argc, argv), streams.out);
        return 0;
    } catch (const Common::Error& error) {
        if (error.Code() == kUsage) {
            streams.errors << "kivo_store: " << Common::ToUtf8(error.Message()) << "\n"
                           << kSynopsis << std::flush;
            return Common::kUsageExitStatus;
        }
        const std::string text = Common::ToUtf8(error.ToText());
        streams.errors << text << std::endl;
        if (streams.errorsAlsoToOut)
            streams.out << text << std::endl;
        return Common::ExitStatusOf(error.Code());
    }
}

}  // namespace KivoStoreTool
