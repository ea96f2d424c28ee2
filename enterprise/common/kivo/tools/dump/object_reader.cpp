#include "enterprise/common/kivo/tools/dump/object_reader.h"

#include "core/common/catalog.h"
#include "core/common/text.h"
#include "core/common/time/time_format.h"
#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "enterprise/common/kivo/tools/dump/output.h"
#include "enterprise/common/kivo/tools/dump/record_text.h"

namespace KivoDump {
namespace {

constexpr uint32_t kNanosecondsPerMillisecond = 1'000'000;

// The id text of the key unit `key`; a null key has none.
std::string KeyId(const Zaph::View::SharedUnitPtr& key) {
    if (key == nullptr) {
        throw Common::Error(COMMON_PLACE("KivoDump::KeyId"), Kivo::kObjectIdentificationNotFound,
                            Common::GetCatalogMessage(Common::kMsgKivoNoObjectIdentification));
    }
    return Common::ToUtf8(Kivo::GetKeyIdText(*key));
}

// Starts a change record: its header line, composed in one piece.
void Header(RecordText& record, std::string_view tag, std::string_view id, std::string_view time) {
    record << "<" << tag << " id=\"" << id << "\" time=\"" << time << "\">\n";
}

}  // namespace

void ObjectReader::OnCreated(const Zaph::View::SharedUnitPtr& object) {
    WriteLines(FormatCreatedRecord(object, ChangeTime()));
}

void ObjectReader::OnUpdated(const Zaph::View::SharedUnitPtr& key,
                             const Zaph::View::SharedUnitPtr& diff) {
    WriteLines(FormatUpdatedRecord(key, diff, ChangeTime()));
}

void ObjectReader::OnDeleted(const Zaph::View::SharedUnitPtr& key) {
    WriteLines(FormatDeletedRecord(key, ChangeTime()));
}

std::string ChangeTime() {
    // The locale's pictures are read once; the format is then shared by every thread.
    static const Common::TimeFormatWin format(Common::TimeFormatWin::kShortDate,
                                              Common::TimeFormatWin::kDateAndTime);
    Common::DateTime now = Common::DateTime::Now(Common::DateTimeKind::Local);
    now.nanoseconds -= now.nanoseconds % kNanosecondsPerMillisecond;
    std::u16string text;
    // A clock outside the range of dates leaves the text empty.
    format.Format(now, text);
    return Common::ToUtf8(text);
}

std::string FormatCreatedRecord(const Zaph::View::SharedUnitPtr& object, std::string_view time) {
    const std::string id = Common::ToUtf8(Kivo::GetObjectIdText(object));
    RecordText record;
    Header(record, "created", id, time);
    record.Body(*object, "  ");
    record << "</created>\n\n";
    return std::string(record.Text());
}

std::string FormatUpdatedRecord(const Zaph::View::SharedUnitPtr& key,
                                const Zaph::View::SharedUnitPtr& diff, std::string_view time) {
    const std::string id = KeyId(key);
    RecordText record;
    Header(record, "updated", id, time);
    record << "  <key>\n";
    record.Body(*key, "    ");
    record << "  </key>\n  <diff>\n";
    if (diff != nullptr) {
        record.Body(*diff, "    ");
    }
    record << "  </diff>\n</updated>\n\n";
    return std::string(record.Text());
}

std::string FormatDeletedRecord(const Zaph::View::SharedUnitPtr& key, std::string_view time) {
    const std::string id = KeyId(key);
    RecordText record;
    Header(record, "deleted", id, time);
    record.Body(*key, "  ");
    record << "</deleted>\n\n";
    return std::string(record.Text());
}

}  // namespace KivoDump
