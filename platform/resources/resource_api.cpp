#include "platform/resources/resource_api.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace ResourceApi {

struct Module {
    // Where resource files are looked for, in order.
    std::vector<std::filesystem::path> directories;
};

namespace {

// The whole regular file at `path`, when it is at most kResourceFileLimit bytes.
std::optional<std::vector<uint8_t>> ReadBoundedFile(const std::filesystem::path& path) {
    // Non-blocking, so that opening a FIFO of that name does not wait for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<std::vector<uint8_t>> contents;
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<uint64_t>(info.st_size) <= kResourceFileLimit) {
        // One byte more than the size is asked for, so that a file that grew meanwhile is
        // noticed instead of being cut.
        std::vector<uint8_t> bytes(static_cast<size_t>(info.st_size) + 1);
        size_t length = 0;
        bool failed = false;
        while (length < bytes.size()) {
            const ssize_t got = read(fd, bytes.data() + length, bytes.size() - length);
            if (got > 0) {
                length += static_cast<size_t>(got);
            } else if (got == 0) {
                break;
            } else if (errno != EINTR) {
                failed = true;
                break;
            }
        }
        if (!failed && length < bytes.size()) {
            bytes.resize(length);
            contents = std::move(bytes);
        }
    }
    close(fd);
    return contents;
}

}  // namespace

Module* OpenModule(const char* path) {
    std::error_code failure;
    const std::filesystem::path program = std::filesystem::canonical(
        path != nullptr ? std::filesystem::path(path) : std::filesystem::path("/proc/self/exe"),
        failure);
    if (failure) {
        return nullptr;
    }
    auto* module = new Module;
    const char* messagesDir = std::getenv("KIVO_MESSAGES_DIR");
    if (messagesDir != nullptr && messagesDir[0] != '\0') {
        module->directories.emplace_back(messagesDir);
    }
    module->directories.push_back(
        (program.parent_path() / KIVO_DATA_FROM_PROGRAM).lexically_normal());
    module->directories.push_back(program.parent_path());
    return module;
}

void CloseModule(Module* module) {
    delete module;
}

std::optional<std::vector<uint8_t>> LoadFile(const Module* module, std::string_view name) {
    if (module == nullptr || name.empty() || name == "." || name == ".." ||
        name.find('/') != std::string_view::npos) {
        return std::nullopt;
    }
    for (const std::filesystem::path& directory : module->directories) {
        if (std::optional<std::vector<uint8_t>> contents = ReadBoundedFile(directory / name)) {
            return contents;
        }
    }
    return std::nullopt;
}

uint32_t SubscribeLanguageEvents(LanguageEventCallback /*callback*/, void* /*context*/) {
    return 0;
}

void UnsubscribeLanguageEvents(uint32_t /*subscription*/) {}

}  // namespace ResourceApi
