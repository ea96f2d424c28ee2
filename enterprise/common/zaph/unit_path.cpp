#include "enterprise/common/zaph/unit_path.h"

#include <utility>
#include <vector>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/container_access.h"
#include "enterprise/common/zaph/copy_unit.h"
#include "enterprise/common/zaph/errors.h"

namespace Zaph::Util {
namespace {

constexpr char16_t kSeparator = u'.';

struct Escape {
    char16_t character;
    char16_t code;
};
// Each escape is '&', its code letter and ';'.
constexpr Escape kEscapes[] = {{u'&', u'a'}, {u'.', u'd'}, {u'^', u'r'}};
constexpr size_t kEscapeLength = 3;

[[noreturn]] void ThrowPathError(uint32_t messageId, std::u16string_view path) {
    throw Zaph::Detail::MakeError(COMMON_PLACE("Zaph::Util::WalkPath"), Errors::kGeneral, messageId,
                                  {path});
}

std::u16string EscapeName(std::u16string_view name) {
    std::u16string escaped;
    escaped.reserve(name.size());
    for (const char16_t c : name) {
        bool replaced = false;
        for (const Escape& escape : kEscapes) {
            if (c == escape.character) {
                escaped += {u'&', escape.code, u';'};
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            escaped += c;
        }
    }
    return escaped;
}

// The name of one path element, its escapes replaced in one pass.
Name UnescapeName(std::u16string_view element, std::u16string_view path) {
    std::u16string name;
    name.reserve(element.size());
    for (size_t i = 0; i < element.size(); ++i) {
        if (element[i] != u'&') {
            name += element[i];
            continue;
        }
        const Escape* found = nullptr;
        if (i + kEscapeLength <= element.size() && element[i + 2] == u';') {
            for (const Escape& escape : kEscapes) {
                if (element[i + 1] == escape.code) {
                    found = &escape;
                }
            }
        }
        if (found == nullptr) {
            ThrowPathError(Common::kMsgZaphPathUnknownEscape, path);
        }
        name += found->character;
        i += kEscapeLength - 1;
    }
    return Name(Common::ToUtf8(name));
}

// The elements of a path, in order; empty for the root.
class ElementCollector final : public PathWalker {
  public:
    void OnProperty(const Name& name) override { names.push_back(name); }
    void OnRoot() override {}

    std::vector<Name> names;
};

std::u16string PathOf(const std::vector<Name>& names, size_t count) {
    std::u16string path;
    for (size_t i = 0; i < count; ++i) {
        path = BuildPath(path, Common::ToUtf16(names[i].View()));
    }
    return path;
}

// The composite of `unit`, which the first `depth` elements of the path lead to.
Construction::CompositeValue& CompositeOnPath(Construction::Unit& unit,
                                              const std::vector<Name>& names, size_t depth) {
    Construction::CompositeValue* composite = Detail::CompositeOf(unit);
    if (composite == nullptr) {
        const std::u16string name = depth == 0 ? u"" : Common::ToUtf16(names[depth - 1].View());
        const std::u16string path = PathOf(names, depth);
        std::u16string message = Common::GetCatalogMessage(Common::kMsgZaphInternalError);
        message += u' ';
        message += Common::FormatCatalogMessage(
            Common::GetCatalogMessage(Common::kMsgZaphPathNonComposite), {path, name});
        throw ModuleError(Common::Error(COMMON_PLACE("Zaph::Util::PutUnitInLocation"),
                                        Errors::kGeneral, message));
    }
    return *composite;
}

// Looks each element up below the root; raises kBranchNotFound at the first missing one.
class BranchFinder final : public PathWalker {
  public:
    explicit BranchFinder(const View::Unit& root) : current_(&root) {}

    void OnProperty(const Name& name) override {
        path_ = BuildPath(path_, Common::ToUtf16(name.View()));
        const View::CompositeValue* composite = Detail::CompositeOf(*current_);
        const View::Unit* next = nullptr;
        auto find = MakeProcessor<const View::Property>([&](const View::Property& property) {
            next = &property.GetValue();
            return true;
        });
        if (composite == nullptr || !composite->Find(name, find)) {
            throw Zaph::Detail::MakeError(COMMON_PLACE("Zaph::Util::GetUnitByPath"),
                                          Errors::kBranchNotFound, Common::kMsgZaphBranchNotFound,
                                          {path_});
        }
        current_ = next;
    }
    void OnRoot() override {}

    const View::Unit& Current() const { return *current_; }

  private:
    const View::Unit* current_;
    std::u16string path_;
};

}  // namespace

std::u16string BuildPath(std::u16string_view parentPath, std::u16string_view name) {
    std::u16string path(parentPath);
    path += kSeparator;
    path += EscapeName(name);
    return path;
}

void WalkPath(std::u16string_view path, PathWalker& walker) {
    if (path.empty()) {
        walker.OnRoot();
        return;
    }
    if (path.front() != kSeparator) {
        ThrowPathError(Common::kMsgZaphPathBadBeginning, path);
    }
    if (path.size() == 1) {
        ThrowPathError(Common::kMsgZaphPathEmptyToken, path);
    }
    // Check the whole path before the walker sees any element.
    if (path.back() == kSeparator) {
        ThrowPathError(Common::kMsgZaphPathBadEnd, path);
    }
    std::vector<Name> names;
    size_t start = 1;
    for (;;) {
        const size_t separator = path.find(kSeparator, start);
        names.push_back(UnescapeName(path.substr(start, separator - start), path));
        if (separator == std::u16string_view::npos) {
            break;
        }
        start = separator + 1;
    }
    for (const Name& name : names) {
        walker.OnProperty(name);
    }
}

void PutUnitInLocation(Construction::UnitPtr& root, std::u16string_view path,
                       const View::Unit& unit, Construction::UnitFactory& factory) {
    ElementCollector collector;
    WalkPath(path, collector);
    const std::vector<Name>& names = collector.names;
    // Copied first: `unit` may lie inside the tree that is about to change.
    Construction::UnitPtr copy = CopyUnit(unit, factory);
    if (names.empty()) {
        root = std::move(copy);
        return;
    }
    Construction::UnitPtr newRoot = root == nullptr ? factory.CreateComposite() : nullptr;
    Construction::Unit* current = newRoot != nullptr ? newRoot.get() : root.get();
    // Only a unit that exists can fail the composite check, and every unit after the first one
    // created is a new composite: a failure therefore comes before any change.
    for (size_t depth = 0; depth + 1 < names.size(); ++depth) {
        Construction::CompositeValue& composite = CompositeOnPath(*current, names, depth);
        Construction::Unit* next = nullptr;
        auto find = MakeProcessor<Construction::Property>([&](Construction::Property& property) {
            next = &property.GetValue();
            return true;
        });
        if (!composite.Find(names[depth], find)) {
            composite.Set(factory.CreateProperty(names[depth], factory.CreateComposite()));
            composite.Find(names[depth], find);
        }
        current = next;
    }
    CompositeOnPath(*current, names, names.size() - 1)
        .Set(factory.CreateProperty(names.back(), std::move(copy)));
    if (newRoot != nullptr) {
        root = std::move(newRoot);
    }
}

const View::Unit& GetUnitByPath(const View::Unit& root, std::u16string_view path) {
    BranchFinder finder(root);
    WalkPath(path, finder);
    return finder.Current();
}

}  // namespace Zaph::Util
