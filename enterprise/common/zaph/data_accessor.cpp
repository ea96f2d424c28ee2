#include "enterprise/common/zaph/data_accessor.h"

#include <string>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/container_access.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/trace_unit.h"

namespace Zaph::Util {
namespace {

// The printout of `root` for an error message, cut off past kMaxQuotedUnitText characters.
std::u16string QuoteUnit(const View::Unit& root) {
    std::string text = TraceUnitToString(root, "", true);
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    if (text.size() > kMaxQuotedUnitText) {
        text.resize(kMaxQuotedUnitText);
        text += "...";
    }
    return Common::ToUtf16(text);
}

}  // namespace

template <class U>
BasicDataAccessor<U> BasicDataAccessor<U>::operator[](const Name& name) const {
    BasicDataAccessor child;
    child.root_ = root_;
    if (unit_ == nullptr) {
        child.missing_ = missing_;
        return child;
    }
    using Property =
        std::conditional_t<std::is_const_v<U>, const View::Property, Construction::Property>;
    auto find = MakeProcessor<Property>([&](Property& property) {
        child.unit_ = &property.GetValue();
        return true;
    });
    auto* composite = Detail::CompositeOf(*unit_);
    if (composite == nullptr || !composite->Find(name, find)) {
        child.missing_ = name;
    }
    return child;
}

template <class U>
void BasicDataAccessor<U>::EnsureUnitIsValid() const {
    if (unit_ != nullptr) {
        return;
    }
    if constexpr (std::is_const_v<U>) {
        const std::u16string name = Common::ToUtf16(missing_.View());
        std::u16string message = Common::FormatCatalogMessage(
            Common::GetCatalogMessage(Common::kMsgZaphElementNotFound), {name});
        if (root_ != nullptr) {
            message += u' ';
            message += Common::GetCatalogMessage(Common::kMsgZaphUnitLabel);
            message += QuoteUnit(*root_);
        }
        throw ModuleError(
            Common::Error(COMMON_PLACE("Zaph::Util::ConstDataAccessor::EnsureUnitIsValid"),
                          Errors::kElementNotFound, message));
    } else {
        throw Zaph::Detail::MakeError(COMMON_PLACE("Zaph::Util::DataAccessor::EnsureUnitIsValid"),
                                      Errors::kArrayElementNotFound,
                                      Common::kMsgZaphArrayElementNotFound);
    }
}

template class BasicDataAccessor<const View::Unit>;
template class BasicDataAccessor<Construction::Unit>;

}  // namespace Zaph::Util
