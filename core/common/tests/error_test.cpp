#include "core/common/error/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/common/catalog.h"
#include "core/common/error/error_record.h"
#include "core/common/text.h"

namespace {

using Common::Error;

std::string Text(const Error& error) {
    return Common::ToUtf8(error.ToText());
}

std::vector<uint8_t> Bytes(const Error& error) {
    Common::DynamicBuffer buffer;
    EXPECT_TRUE(error.Serialize(buffer));
    return std::vector<uint8_t>(buffer.Data(), buffer.Data() + buffer.Size());
}

Error Reread(const Error& error) {
    const std::vector<uint8_t> bytes = Bytes(error);
    return Error::Deserialize(bytes.data(), bytes.size());
}

std::string FileLine(const Error& error) {
    const Common::SourceLocation place = error.Place();
    return std::string(place.file) + ":" + std::to_string(place.line);
}

TEST(Error, CodeZeroIsSuccessInEveryForm) {
    const Error empty(COMMON_PLACE("Test::Empty"), 0, "ignored message");
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(Text(empty), "Success");
    EXPECT_EQ(Bytes(empty), std::vector<uint8_t>{0x01});
    const uint8_t single = 0x01;
    EXPECT_TRUE(Error::Deserialize(&single, 1).IsEmpty());
    EXPECT_TRUE(Error().Reason().IsEmpty());
}

TEST(Error, TextOfATwoRecordChain) {
    // A semaphore that could not be created because of system error 5.
    Error error(COMMON_PLACE_TAG(0x26f045fa5950f445, "Semaphore::Semaphore"), 20);
    error.AddWindowsError(5);
    const Error reason = error.Reason();
    const std::string expected =
        "Error 0x14\n"
        "| line: 0x26f045fa5950f445\n"
        "| file: " +
        FileLine(error) +
        "\n"
        "| function: Semaphore::Semaphore\n"
        "| $module: kivo_dump_vsa64_35791\n"
        "|\n"
        "| error 0xfff0: Input/output error\n"
        "| line: 0xbd28fdbd64edb8f8\n"
        "| file: " +
        FileLine(reason) +
        "\n"
        "| function: Common::Error::AddWindowsError\n"
        "| code: 0x80070005\n"
        "| $module: kivo_dump_vsa64_35791";
    EXPECT_EQ(Text(error), expected);
    EXPECT_EQ(std::string(error.Place().file).rfind("core/common/tests/", 0), 0u)
        << "file names are repository-relative";
}

TEST(Error, SystemCodesArePackedLikeTheirOrigin) {
    Error base(COMMON_PLACE("Test::System"), 3);
    EXPECT_EQ(Error(base).AddWindowsError(5).Reason().NumberField("code"), 0x80070005);
    EXPECT_EQ(Error(base).AddWindowsError(0x12345).Reason().NumberField("code"), 0x80072345);
    EXPECT_EQ(Error(base).AddWindowsError(0).Reason().NumberField("code"), 0);
    EXPECT_EQ(Error(base).AddWindowsError(0xFFFFFFFB).Reason().NumberField("code"), 0xFFFFFFFB);
    const Error nt = Error(base).AddNTStatus(0xC0000005).Reason();
    EXPECT_EQ(nt.Code(), Common::kSystemCodeError);
    EXPECT_EQ(nt.NumberField("code"), 0xD0000005);
    EXPECT_TRUE(nt.Message().empty()) << "no NT message table here";
    EXPECT_EQ(Error(base).AddHResult(0x80004005).Reason().NumberField("code"), 0x80004005);

    errno = ENOENT;
    const Error last = Common::LastSystemError(COMMON_PLACE("Test::Last"), 21);
    EXPECT_EQ(last.Code(), 21u);
    EXPECT_EQ(last.Reason().Message(), u"No such file or directory");
    EXPECT_STREQ(last.Reason().FieldNames(), "code,$module");
}

TEST(Error, AddOnASharedHeadLeavesOtherHoldersAlone) {
    const Error first(COMMON_PLACE("Test::Reason1"), 101);
    const Error second(COMMON_PLACE("Test::Reason2"), 102);
    Error mine(COMMON_PLACE("Test::Head"), 100, "head");
    mine.Add(first);
    const Error theirs = mine;
    mine.Add(second);
    EXPECT_EQ(theirs.Reason().Code(), 101u);
    EXPECT_EQ(mine.Reason().Code(), 102u);
    EXPECT_EQ(mine.Message(), u"head");
    EXPECT_TRUE(mine.Reason().Reason().IsEmpty())
        << "Add replaces the reason; the chain never forks";

    Error alone(COMMON_PLACE("Test::Alone"), 7);
    alone.Add(first).Add(second);
    EXPECT_EQ(alone.Reason().Code(), 102u);
    EXPECT_TRUE(alone.Reason().Reason().IsEmpty());

    Error empty;
    empty.Add(first);
    EXPECT_EQ(empty.Code(), 101u);

    Error self(COMMON_PLACE("Test::Self"), 9);
    self.Add(self);  // shared with the argument: cloned, so no cycle
    EXPECT_EQ(self.Reason().Code(), 9u);
    EXPECT_TRUE(self.Reason().Reason().IsEmpty());
}

TEST(Error, MessagesAndFieldValuesKeepTheMargin) {
    const Error error(COMMON_PLACE("Test::Lines"), 0x2a, u"first\nsecond");
    const std::string text = Text(error);
    EXPECT_EQ(text.rfind("Error 0x2a: first\n| second\n| line: 0x", 0), 0u) << text;
}

const Common::ErrorFieldType kPathTypes[] = {
    Common::ErrorFieldType::Narrow, Common::ErrorFieldType::Number, Common::ErrorFieldType::Wide};
const Common::ErrorFieldKind kPathKind = {"path,ordinal,note,$module", kPathTypes, 3};

TEST(Error, ExtraFieldKindsAnswerTheirFieldsAndModule) {
    const Error error(COMMON_PLACE("Test::Fields"), 0x140FA3, kPathKind, u"",
                      {"libfoo.so", int64_t{42}, u"caf\u00e9\nmore"});
    EXPECT_STREQ(error.NarrowField("path"), "libfoo.so");
    EXPECT_EQ(error.NumberField("ordinal"), 42);
    EXPECT_EQ(std::u16string(error.WideField("note")), u"caf\u00e9\nmore");
    EXPECT_STREQ(error.NarrowField("$module"), Common::kModuleIdentity);
    EXPECT_EQ(error.NarrowField("ordinal"), nullptr) << "each getter answers its own type";
    EXPECT_EQ(error.NarrowField("pat"), nullptr) << "names compare whole";
    const std::string text = Text(error);
    EXPECT_NE(text.find("\n| path: libfoo.so\n| ordinal: 0x2a\n| note: caf\xC3\xA9\n| more\n"),
              std::string::npos)
        << text;
}

TEST(Error, ByteFormRoundTripsEveryKind) {
    Error chain(COMMON_PLACE("Test::Narrow"), 1, "narrow message");
    Error wide(COMMON_PLACE("Test::Wide"), 0xFA000E, u"ZAPH: \u00fcber \U0001F600\nline");
    Error fields(COMMON_PLACE("Test::Fields"), 0x140FA1, kPathKind, u"with fields",
                 {"p", int64_t{-5}, u"w"});
    fields.AddWindowsError(13);
    wide.Add(fields);
    chain.Add(wide);
    chain.Add(wide);  // idempotent on a record referenced once

    const Error again = Reread(chain);
    // The re-read chain prints the same text: "$module" is now a stored field of the sender.
    EXPECT_EQ(Text(again), Text(chain));
    EXPECT_EQ(again.Reason().Reason().NumberField("ordinal"), -5);
    EXPECT_EQ(std::u16string(again.Reason().Reason().WideField("note")), u"w");
    EXPECT_STREQ(again.Reason().Reason().Reason().FieldNames(), "code,$module");
    EXPECT_STREQ(again.NarrowField("$module"), Common::kModuleIdentity);
    EXPECT_EQ(again.Place().line, chain.Place().line);
    EXPECT_STREQ(again.Place().function, "Test::Narrow");
    // And it writes the same bytes again.
    EXPECT_EQ(Bytes(again), Bytes(chain));

    const Error plain(COMMON_PLACE_TAG(0x1234, "Test::Plain"), 0xFFFFFFFF);
    EXPECT_EQ(Text(Reread(plain)), Text(plain));
}

TEST(Error, ByteFormOfAPlaceWithoutFileFunctionOrLine) {
    const Error bare(Common::SourceLocation{0x99, nullptr, nullptr, 0}, 5, "bare");
    const std::vector<uint8_t> bytes = Bytes(bare);
    const std::string text = Text(Error::Deserialize(bytes.data(), bytes.size()));
    EXPECT_EQ(text, "Error 0x5: bare\n| line: 0x99\n| $module: kivo_dump_vsa64_35791");
}

TEST(Error, MalformedBytesGiveTheDecodeErrorWithWhatWasRead) {
    Error outer(COMMON_PLACE("Test::Outer"), 11, "outer");
    outer.Add(Error(COMMON_PLACE("Test::Inner"), 12, "inner"));
    const std::vector<uint8_t> bytes = Bytes(outer);
    const std::vector<uint8_t> firstOnly = Bytes(Error(COMMON_PLACE("Test::Outer"), 11, "outer"));
    const size_t firstRecordEnd = firstOnly.size();

    for (size_t length = 0; length < bytes.size(); ++length) {
        const Error read = Error::Deserialize(bytes.data(), length);
        if (length == 1) {
            EXPECT_TRUE(read.IsEmpty());
            continue;
        }
        if (length == firstRecordEnd) {
            EXPECT_EQ(read.Code(), 11u) << "a whole first record is a valid one-record blob";
            EXPECT_TRUE(read.Reason().IsEmpty());
            continue;
        }
        ASSERT_EQ(read.Code(), Common::kErrorBytesMalformed) << "length " << length;
        EXPECT_FALSE(read.Message().empty());
        if (length < firstRecordEnd) {
            EXPECT_TRUE(read.Reason().IsEmpty()) << "length " << length;
        } else {
            EXPECT_EQ(read.Reason().Code(), 11u) << "length " << length;
            EXPECT_TRUE(read.Reason().Reason().IsEmpty());
        }
    }
    EXPECT_EQ(Error::Deserialize(bytes.data(), bytes.size()).Reason().Code(), 12u);

    std::vector<uint8_t> badVersion = bytes;
    badVersion[0] = 0x02;
    EXPECT_EQ(Error::Deserialize(badVersion.data(), badVersion.size()).Code(),
              Common::kErrorBytesMalformed);

    // A field whose type byte is neither 'A', 'W' nor 'N'.
    std::vector<uint8_t> badType = firstOnly;
    badType.pop_back();
    for (char c : std::string("k\0Zv\0\0", 6))
        badType.push_back(static_cast<uint8_t>(c));
    EXPECT_EQ(Error::Deserialize(badType.data(), badType.size()).Code(),
              Common::kErrorBytesMalformed);
}

TEST(Error, DecodingIsBounded) {
    Error deep(COMMON_PLACE("Test::Deep"), 1);
    for (int i = 0; i < 1100; ++i) {
        deep = Error(COMMON_PLACE("Test::Deep"), 2).Add(deep);
    }
    const std::vector<uint8_t> bytes = Bytes(deep);
    const Error read = Error::Deserialize(bytes.data(), bytes.size());
    EXPECT_EQ(read.Code(), Common::kErrorBytesMalformed);
    EXPECT_EQ(read.Reason().Code(), 2u);
}

TEST(Error, InterningOfPeerTextsIsCapped) {
    // Past the cap, a file name that came from a peer stays visible as a field.
    std::string lastFile;
    Error last;
    for (int i = 0; i < 5000; ++i) {
        lastFile = "peer/file" + std::to_string(i) + ".cpp";
        std::vector<uint8_t> blob = {0x01, 7, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
        const std::string field = "$file" + std::string(1, '\0') + "A" + lastFile;
        blob.insert(blob.end(), field.begin(), field.end());
        blob.push_back(0);
        blob.push_back(0);
        last = Error::Deserialize(blob.data(), blob.size());
        ASSERT_EQ(last.Code(), 7u);
    }
    EXPECT_EQ(last.Place().file, nullptr);
    EXPECT_EQ(std::string(last.NarrowField("$file")), lastFile);
    EXPECT_NE(Text(last).find("| $file: " + lastFile), std::string::npos);
}

TEST(Error, OutOfMemoryGivesTheStaticRecordAndAddKeepsTheError) {
    Common::Detail::FailRecordAllocationsForTesting(0);
    const Error failed(COMMON_PLACE("Test::Oom"), 5, "lost");
    Common::Detail::FailRecordAllocationsForTesting(-1);
    EXPECT_EQ(failed.Code(), Common::kOutOfMemoryError);
    EXPECT_TRUE(failed.Message().empty());
    { const Error copies[3] = {failed, failed, failed}; }  // the static record is never freed
    EXPECT_EQ(failed.Code(), Common::kOutOfMemoryError);

    Error head(COMMON_PLACE("Test::Head"), 6);
    const Error holder = head;  // shared: Add must clone
    Common::Detail::FailRecordAllocationsForTesting(0);
    head.Add(Error(COMMON_PLACE_TAG(1, "x"), 0));
    head.Add(holder);
    Common::Detail::FailRecordAllocationsForTesting(-1);
    EXPECT_EQ(head.Code(), 6u);
    EXPECT_TRUE(head.Reason().IsEmpty());
}

TEST(Error, CatalogueTextsAreReferencedNotCopied) {
    const char16_t* text = Common::GetCatalogMessage(Common::kMsgAsyncCanceled);
    const Error error(COMMON_PLACE("Test::Catalogue"), 0xF90002, text);
    EXPECT_EQ(error.Message(), text);
    EXPECT_EQ(error.Head()->size, Common::Detail::kRecordHeaderSize + 8);
}

}  // namespace
