#include "tools/kivo_store/store_command.h"

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/exit_status.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/parser/file_io.h"
#include "enterprise/common/zaph/parser/unit_construction_format.h"
#include "enterprise/common/zaph/unit_factory.h"
#include "platform/store/store.h"

namespace KivoStoreTool {
namespace {

constexpr const char* kUsageText =
    "KIVO: usage: kivo_store <connection> create | put [--create] <object>... | update "
    "<object>... | delete <object>... | import [--create] [<file>...]";

Common::Error Usage(const Common::SourceLocation& place) {
    return Common::Error(place, kUsage, kUsageText);
}

struct Command {
    std::u16string connection;
    std::string verb;
    bool create = false;
    std::vector<std::string> arguments;
};

Command ParseCommand(int argc, char** argv) {
    if (argc < 3)
        throw Usage(COMMON_PLACE("KivoStoreTool::ParseCommand"));
    Command command;
    command.connection = Common::ToUtf16(argv[1]);
    command.verb = argv[2];
    for (int i = 3; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--create" && command.arguments.empty())
            command.create = true;
        else
            command.arguments.emplace_back(argv[i]);
    }
    const bool known = command.verb == "create" || command.verb == "put" ||
                       command.verb == "update" || command.verb == "delete" ||
                       command.verb == "import";
    const bool takesObjects = command.verb != "create" && command.verb != "import";
    if (!known || (command.verb == "create" && (!command.arguments.empty() || command.create)) ||
        (takesObjects && command.arguments.empty()) ||
        (command.create && command.verb != "put" && command.verb != "import"))
        throw Usage(COMMON_PLACE("KivoStoreTool::ParseCommand"));
    return command;
}

// Applies each unit of `reader` to `batch` with the command's operation; returns how many.
size_t ApplyUnits(Utils::DataReader& reader, const std::string& verb,
                  KivoStore::WriteBatch& batch) {
    return Utils::UnitConstructionFormat::ReadEach(
        reader, Zaph::Construction::DefaultUnitFactory(), [&](Zaph::Construction::UnitPtr unit) {
            const Zaph::View::SharedUnitPtr object(std::move(unit));
            if (verb == "update")
                batch.UpdateObject(object);
            else if (verb == "delete")
                batch.DeleteObject(object);
            else
                batch.StoreOrUpdate(object, nullptr);
        });
}

void Execute(const Command& command, std::ostream& out) {
    if (command.verb == "create") {
        KivoStore::CreateStore(command.connection);
        out << "created the store " << Common::ToUtf8(command.connection) << "\n";
        return;
    }
    if (command.create) {
        const KivoStore::ConnectionTarget target =
            KivoStore::ParseConnectionString(command.connection);
        struct stat info {};
        if (!target.inMemory && ::stat(target.filePath.c_str(), &info) != 0)
            KivoStore::CreateStore(command.connection);
    }
    std::shared_ptr<KivoStore::Store> store = KivoStore::Store::Open(command.connection);
    std::unique_ptr<KivoStore::WriteBatch> batch = store->BeginBatch();
    if (command.verb == "import") {
        std::vector<std::string> files = command.arguments;
        if (files.empty())
            files.emplace_back("-");
        for (const std::string& file : files) {
            Utils::FileReader reader(Common::ToUtf16(file == "-" ? "/dev/stdin" : file));
            ApplyUnits(reader, command.verb, *batch);
        }
    } else {
        for (size_t i = 0; i < command.arguments.size(); ++i) {
            Utils::InMemoryDataReader reader(Common::ToUtf16(command.arguments[i]));
            if (ApplyUnits(reader, command.verb, *batch) == 0)
                throw Common::Error(COMMON_PLACE("KivoStoreTool::Execute"), kUsage,
                                    "KIVO: Argument " + std::to_string(i + 1) +
                                        " holds no complete object (every unit ends with End()).");
        }
    }
    batch->Commit();
    const KivoStore::BatchCounts& counts = batch->Counts();
    out << "created " << counts.created << ", updated " << counts.updated << ", unchanged "
        << counts.unchanged << ", deleted " << counts.deleted << "\n";
}

}  // namespace

int Run(int argc, char** argv, std::ostream& out) {
    try {
        Execute(ParseCommand(argc, argv), out);
        out.flush();
        return 0;
    } catch (const Common::Error& error) {
        out << Common::ToUtf8(error.ToText()) << std::endl;
        return Common::ExitStatusOf(error.Code());
    }
}

}  // namespace KivoStoreTool
