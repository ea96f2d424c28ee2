#include "core/common/error/error.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/common/catalog.h"
#include "core/common/error/error_record.h"
#include "core/common/library_loading.h"
#include "core/common/message_format.h"
#include "core/common/text.h"

namespace {

using Common::Error;
using Common::FormatCatalogMessage;
using testing::HasSubstr;
using testing::StartsWith;

constexpr uint32_t kMalformed = Common::kErrorBytesMalformed;

std::string Text(const Error& error) {
    return Common::ToUtf8(error.ToText());
}

std::vector<uint8_t> Bytes(const Error& error) {
    Common::DynamicBuffer buffer;
    EXPECT_TRUE(error.Serialize(buffer));
    return std::vector<uint8_t>(buffer.Data(), buffer.Data() + buffer.Size());
}

Error Read(const std::vector<uint8_t>& bytes) {
    return Error::Deserialize(bytes.data(), bytes.size());
}

// A blob of one record of code 7 with the given fields ("name\0" type value), then its end.
std::vector<uint8_t> Blob(const std::string& fields) {
    const std::string blob = std::string("\x01\x07\0\0\0\x01\0\0\0\0\0\0\0\0", 14) + fields + '\0';
    return std::vector<uint8_t>(blob.begin(), blob.end());
}

std::string FileLine(const Error& error) {
    return std::string(error.Place().file) + ":" + std::to_string(error.Place().line);
}

TEST(Error, CodeZeroIsSuccessInEveryForm) {
    const Error empty(COMMON_PLACE("Test::Empty"), 0, "ignored message");
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(Text(empty), "Success");
    EXPECT_EQ(Bytes(empty), std::vector<uint8_t>{0x01});
    EXPECT_TRUE(Read({0x01}).IsEmpty());
    EXPECT_EQ(Read({0x02}).Code(), kMalformed);
    EXPECT_TRUE(Error().Reason().IsEmpty());
}

TEST(Error, TextOfATwoRecordChain) {
    // A semaphore that could not be created because of system error 5.
    Error error(COMMON_PLACE_TAG(0x26f045fa5950f445, "Semaphore::Semaphore"), 20);
    error.AddWindowsError(5);
    const std::string expected =
        "Error 0x14\n| line: 0x26f045fa5950f445\n| file: " + FileLine(error) + R"(
| function: Semaphore::Semaphore
| $module: kivo_dump_vsa64_35791
|
| error 0xfff0: Input/output error
| line: 0xbd28fdbd64edb8f8
| file: )" +
        FileLine(error.Reason()) + R"(
| function: Common::Error::AddWindowsError
| code: 0x80070005
| $module: kivo_dump_vsa64_35791)";
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

const Common::ErrorFieldType kPathTypes[] = {
    Common::ErrorFieldType::Narrow, Common::ErrorFieldType::Number, Common::ErrorFieldType::Wide};
const Common::ErrorFieldKind kPathKind = {"path,ordinal,note,$module", kPathTypes, 3};

TEST(Error, FieldsAndMessagesKeepTheMarginAndNulsStayVisible) {
    const Error error(COMMON_PLACE("Test::Fields"), 0x140FA3, kPathKind, u"first\nsecond",
                      {"libfoo.so", int64_t{42}, u"caf\u00e9\nmore"});
    EXPECT_STREQ(error.NarrowField("path"), "libfoo.so");
    EXPECT_EQ(error.NumberField("ordinal"), 42);
    EXPECT_EQ(std::u16string(error.WideField("note")), u"caf\u00e9\nmore");
    EXPECT_STREQ(error.NarrowField("$module"), Common::kModuleIdentity);
    EXPECT_EQ(error.NarrowField("ordinal"), nullptr) << "each getter answers its own type";
    EXPECT_EQ(error.NarrowField("paths"), nullptr) << "names compare whole";
    const std::string text = Text(error);
    EXPECT_THAT(text, StartsWith("Error 0x140fa3: first\n| second\n| line: 0x"));
    EXPECT_THAT(text,
                HasSubstr("\n| path: libfoo.so\n| ordinal: 0x2a\n| note: caf\xC3\xA9\n| more\n"));

    // A NUL inside a message would cut it short: it is kept visible as "\0".
    EXPECT_EQ(Error(COMMON_PLACE("Test::Nul"), 1, std::string_view("a\0b", 3)).Message(), u"a\\0b");
    EXPECT_EQ(Error(COMMON_PLACE("Test::Nul"), 1, std::u16string_view(u"a\0b", 3)).Message(),
              u"a\\0b");
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

    const Error again = Read(Bytes(chain));
    // The re-read chain prints the same text: "$module" is now a stored field of the sender.
    EXPECT_EQ(Text(again), Text(chain));
    EXPECT_EQ(again.Reason().Reason().NumberField("ordinal"), -5);
    EXPECT_EQ(std::u16string(again.Reason().Reason().WideField("note")), u"w");
    EXPECT_STREQ(again.Reason().Reason().Reason().FieldNames(), "code,$module");
    EXPECT_STREQ(again.NarrowField("$module"), Common::kModuleIdentity);
    EXPECT_EQ(again.Place().line, chain.Place().line);
    EXPECT_STREQ(again.Place().function, "Test::Narrow");
    EXPECT_EQ(Bytes(again), Bytes(chain));

    const Error plain(COMMON_PLACE_TAG(0x1234, "Test::Plain"), 0xFFFFFFFF);
    EXPECT_EQ(Text(Read(Bytes(plain))), Text(plain));
    const Error bare(Common::SourceLocation{0x99, nullptr, nullptr, 0}, 5, "bare");
    EXPECT_EQ(Text(Read(Bytes(bare))),
              "Error 0x5: bare\n| line: 0x99\n| $module: kivo_dump_vsa64_35791");
}

TEST(Error, EachProgramNamesItsModuleAndAReadErrorKeepsTheSenders) {
    Common::SetModuleIdentity("kivod");
    const Error sent(COMMON_PLACE("Test::Sender"), 0x33, "raised by the service");
    EXPECT_STREQ(sent.NarrowField("$module"), "kivod");
    const std::vector<uint8_t> bytes = Bytes(sent);
    Common::SetModuleIdentity(Common::kModuleIdentity);

    const Error received = Read(bytes);
    EXPECT_STREQ(received.NarrowField("$module"), "kivod");
    EXPECT_STREQ(Error(COMMON_PLACE("Test::Local"), 0x34).NarrowField("$module"),
                 Common::kModuleIdentity);
}

TEST(Error, MalformedOrOversizedBytesGiveTheDecodeErrorAndPeerTextsAreInternedWithinACap) {
    Error outer(COMMON_PLACE("Test::Outer"), 11, "outer");
    outer.Add(Error(COMMON_PLACE("Test::Inner"), 12, "inner"));
    const std::vector<uint8_t> bytes = Bytes(outer);
    const std::vector<uint8_t> firstOnly = Bytes(Error(COMMON_PLACE("Test::Outer"), 11, "outer"));
    const auto firstRecordEnd = static_cast<ptrdiff_t>(firstOnly.size());

    for (ptrdiff_t length = 0; length < std::ssize(bytes); ++length) {
        const Error read = Error::Deserialize(bytes.data(), static_cast<size_t>(length));
        if (length == 1 || length == firstRecordEnd) {
            // Only the version, or a whole first record: a valid blob.
            EXPECT_EQ(read.Code(), length == 1 ? 0u : 11u);
            EXPECT_TRUE(read.Reason().IsEmpty());
            continue;
        }
        ASSERT_EQ(read.Code(), kMalformed) << "length " << length;
        EXPECT_FALSE(read.Message().empty());
        EXPECT_EQ(read.Reason().Code(), length < firstRecordEnd ? 0u : 11u) << "length " << length;
        EXPECT_TRUE(read.Reason().Reason().IsEmpty());
    }
    EXPECT_EQ(Read(bytes).Reason().Code(), 12u);
    std::vector<uint8_t> ended = bytes;  // the second record's code is 0: the chain ends
    std::fill_n(ended.begin() + firstRecordEnd, 4, 0);
    EXPECT_EQ(Bytes(Read(ended)),
              std::vector<uint8_t>(bytes.begin(), bytes.begin() + firstRecordEnd));

    // Each rule and bound of a record, refused one past its edge.
    const std::string number("f\0N\0\0\0\0\0\0\0\0", 11);
    std::string fields;
    for (int i = 0; i < 1024; ++i)
        fields += number;
    const std::string large((16u << 20) - 19, 'x');
    const std::pair<std::vector<uint8_t>, uint32_t> cases[] = {
        {Blob(std::string("k\0Z", 3)), kMalformed},  // a type neither 'A', 'W' nor 'N'
        {Blob(std::string("a,b\0N\0\0\0\0\0\0\0\0", 13)), kMalformed},
        {Blob(fields), 7},
        {Blob(fields + number), kMalformed},
        {Blob(std::string("v\0A", 3) + large + '\0'), 7},
        {Blob(std::string("v\0A", 3) + large + "x" + '\0'), kMalformed}};
    for (const auto& [blob, code] : cases)
        EXPECT_EQ(Read(blob).Code(), code) << blob.size() << " bytes";
    Error deep(COMMON_PLACE("Test::Deep"), 1);
    for (int i = 0; i < 1100; ++i)
        deep = Error(COMMON_PLACE("Test::Deep"), 2).Add(deep);
    EXPECT_EQ(Read(Bytes(deep)).Code(), kMalformed) << "more records than are read";
    EXPECT_EQ(Read(Bytes(deep)).Reason().Code(), 2u);
    // A file name too long, or past the cap on names, stays visible as a field.
    const std::string tooLong(4097, 'f');
    const Error longName = Read(Blob("$file" + std::string(1, '\0') + "A" + tooLong + '\0'));
    EXPECT_EQ(longName.Place().file, nullptr);
    EXPECT_EQ(std::string(longName.NarrowField("$file")), tooLong);
    std::string lastFile;
    Error last;
    for (int i = 0; i < 5000; ++i) {
        lastFile = "peer/file" + std::to_string(i) + ".cpp";
        last = Read(Blob("$file" + std::string(1, '\0') + "A" + lastFile + '\0'));
        ASSERT_EQ(last.Code(), 7u);
    }
    EXPECT_EQ(last.Place().file, nullptr);
    EXPECT_EQ(std::string(last.NarrowField("$file")), lastFile);
    EXPECT_THAT(Text(last), HasSubstr("| $file: " + lastFile));
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

TEST(LibraryLoading, MissingLibrariesAndFunctionsRaiseTheirErrorsWithTheLoaderReason) {
    try {
        Common::LoadLibrary("libkivo_no_such_library.so");
        FAIL() << "loaded a missing library";
    } catch (const Error& error) {
        EXPECT_EQ(error.Code(), 0x140FA1u);
        EXPECT_STREQ(error.FieldNames(), "path,$module");
        EXPECT_STREQ(error.Place().function, "FailureHook");
        EXPECT_EQ(error.Reason().Code(), Common::kSystemCodeError);
        EXPECT_THAT(Common::ToUtf8(error.Reason().Message()),
                    HasSubstr("libkivo_no_such_library.so"));
        EXPECT_THAT(Text(error), HasSubstr("| path: libkivo_no_such_library.so\n"));
    }
    void* library = Common::LoadLibrary("libm.so.6");
    EXPECT_NE(Common::FindLibraryFunction(library, "libm.so.6", "cos"), nullptr);
    try {
        Common::FindLibraryFunction(library, "libm.so.6", "kivo_no_such_function");
        FAIL() << "found a missing function";
    } catch (const Error& error) {
        EXPECT_EQ(error.Code(), 0x140FA2u);
        EXPECT_STREQ(error.FieldNames(), "path,function,$module");
        EXPECT_STREQ(error.NarrowField("path"), "libm.so.6");
        EXPECT_STREQ(error.NarrowField("function"), "kivo_no_such_function");
        EXPECT_THAT(Common::ToUtf8(error.Reason().Message()), HasSubstr("kivo_no_such_function"));
    }
    dlclose(library);
}

using Block = std::vector<uint8_t>;

constexpr size_t kTableEnd = 8 + 4 * size_t{Common::kCatalogMessageCount};

Block BuiltinCopy() {
    const std::span<const uint8_t> block = Common::BuiltinCatalogBlock();
    return Block(block.begin(), block.end());
}

uint32_t Word(const Block& block, size_t offset) {
    uint32_t word;
    std::memcpy(&word, block.data() + offset, 4);
    return word;
}

void SetWord(Block& block, size_t offset, uint32_t word) {
    std::memcpy(block.data() + offset, &word, 4);
}

// Resizes the block and its size word.
void Resize(Block& block, size_t size) {
    block.resize(size);
    SetWord(block, 0, static_cast<uint32_t>(size));
}

// Makes the offset of message `index` point at byte `start` of the block.
void PointAt(Block& block, uint32_t index, int64_t start) {
    const size_t position = 8 + 4 * size_t{index};
    SetWord(block, position, static_cast<uint32_t>(start - static_cast<int64_t>(position)));
}

TEST(Catalog, BuiltinBlockNamesItsMessagesAndKnowsItsTextsWhichErrorsReferenceWhole) {
    const Block block = BuiltinCopy();
    EXPECT_TRUE(Common::IsValidCatalogBlock(block.data(), block.size()));
    EXPECT_EQ(Word(block, 0), block.size());
    EXPECT_EQ(Word(block, 4), 683u);

    EXPECT_EQ(std::u16string(Common::GetCatalogMessage(Common::kMsgSuccess)), u"Success");
    EXPECT_EQ(std::u16string(Common::GetCatalogMessage(Common::kMsgAsyncCanceled)),
              u"ASYNC: The operation has been canceled.");
    EXPECT_EQ(std::u16string(Common::GetCatalogMessage(Common::kMsgZaphTraitNotUnique)),
              u"ZAPH: Trait '{0}' is not unique.");
    // Indices nobody names hold empty texts; indices past the catalogue give an empty text too.
    for (uint32_t index : {682u, 683u, UINT32_MAX})
        EXPECT_EQ(std::u16string(Common::GetCatalogMessage(index)), u"") << index;

    const char16_t* success = Common::GetCatalogMessage(Common::kMsgSuccess);
    EXPECT_TRUE(Common::IsCatalogText(success));
    EXPECT_TRUE(Common::IsCatalogText(success + 3));
    EXPECT_FALSE(Common::IsCatalogText(std::u16string(success).data()));
    EXPECT_FALSE(Common::IsCatalogText(nullptr));
    EXPECT_FALSE(Common::IsCatalogText(Common::BuiltinCatalogBlock().data() + block.size()));
    // An error refers to a whole catalogue text (eight bytes for the pointer) and copies a part.
    const char16_t* text = Common::GetCatalogMessage(Common::kMsgAsyncCanceled);
    const Error error(COMMON_PLACE("Test::Catalogue"), 0xF90002, text);
    EXPECT_EQ(error.Message(), text);
    EXPECT_EQ(error.Head()->size, Common::Detail::kRecordHeaderSize + 8);
    const Error part(COMMON_PLACE("Test::Catalogue"), 0xF90002, std::u16string_view(text, 5));
    EXPECT_EQ(part.Message(), u"ASYNC");
}

// Every offset and every terminator must lie inside the block.
TEST(Catalog, OnlyBlocksWhoseHeaderOffsetsAndTextsFitAreValid) {
    const Block good = BuiltinCopy();
    const int64_t size = static_cast<int64_t>(good.size());
    const int64_t table = static_cast<int64_t>(kTableEnd);
    const struct {
        const char* what;
        std::function<void(Block&)> change;
        bool valid;
    } cases[] = {
        {"empty", [](Block& b) { b.clear(); }, false},
        {"offset table only", [](Block& b) { b.resize(kTableEnd); }, false},
        {"last text cut", [](Block& b) { b.resize(b.size() - 2); }, false},
        {"count one short", [](Block& b) { SetWord(b, 4, 682); }, false},
        {"count one over", [](Block& b) { SetWord(b, 4, 684); }, false},
        {"size word too small", [](Block& b) { SetWord(b, 0, Word(b, 0) - 2); }, false},
        {"odd size", [](Block& b) { Resize(b, b.size() + 1); }, false},
        {"padding", [](Block& b) { Resize(b, b.size() + 2); }, true},
        {"same-length text", [](Block& b) { std::memcpy(&b[8 + Word(b, 8)], u"Erfolg!", 14); },
         true},
        {"last terminator", [](Block& b) { b[b.size() - 2] = 'x'; }, false},
        {"offset into the header", [](Block& b) { PointAt(b, 0, 0); }, false},
        {"offset into the table", [&](Block& b) { PointAt(b, 5, table - 2); }, false},
        {"offset at the end", [&](Block& b) { PointAt(b, 682, size); }, false},
        {"odd offset", [&](Block& b) { PointAt(b, 17, table + 1); }, false},
        {"offset past 32 bits", [](Block& b) { PointAt(b, 1, (int64_t{1} << 32) + 8); }, false}};
    for (const auto& c : cases) {
        Block block = good;
        c.change(block);
        EXPECT_EQ(Common::IsValidCatalogBlock(block.data(), block.size()), c.valid) << c.what;
    }
    EXPECT_FALSE(Common::IsValidCatalogBlock(nullptr, good.size()));
    // An invalid block is not installed and the current texts stay.
    Block block = good;
    SetWord(block, 4, 1);
    const char16_t* before = Common::GetCatalogMessage(Common::kMsgSuccess);
    EXPECT_FALSE(Common::InstallCatalogFile(block.data(), block.size()));
    EXPECT_FALSE(Common::InstallCatalogFile(nullptr, 0));
    EXPECT_EQ(Common::GetCatalogMessage(Common::kMsgSuccess), before);
}

// Inserted text is not searched again, and a missing argument stops the filling.
TEST(FormatCatalogMessage, FillsPlaceholdersAndLeavesTheRestAlone) {
    const std::vector<std::u16string_view> ten{u"0", u"1", u"2", u"3", u"4",  u"5",
                                               u"6", u"7", u"8", u"9", u"ten"};
    // Huge indices saturate rather than wrap around to an argument (2^64 would wrap to 0).
    const std::u16string huge = u"x {" + std::u16string(70, u'9') + u"} {0}";
    const struct {
        std::u16string_view pattern;
        std::vector<std::u16string_view> arguments;
        std::u16string_view filled;
    } cases[] = {{u"Cannot convert '{0}' to qword.", {u"12x"}, u"Cannot convert '12x' to qword."},
                 {u"{1} before {0}, {1} again", {u"a", u"b"}, u"b before a, b again"},
                 {u"{10}", ten, u"ten"},
                 {u"{007}", ten, u"7"},
                 {u"no placeholder", {}, u"no placeholder"},
                 {u"[{0}] [{1}]", {u"{1}", u"b"}, u"[{1}] [b]"},
                 {u"{} {x} {0 } {-1} { {0", {u"a"}, u"{} {x} {0 } {-1} { {0"},
                 {u"{0,choice,0#none|1#one} {0}", {u"n"}, u"{0,choice,0#none|1#one} n"},
                 {u"{{0}}", {u"a"}, u"{a}"},
                 {u"{12{0}", {u"a"}, u"{12a"},
                 {u"'{0}' is not '{1}' ({0})", {u"a"}, u"'a' is not '{1}' ({0})"},
                 {huge, {u"a"}, huge},
                 {u"{18446744073709551616} {0}", {u"a"}, u"{18446744073709551616} {0}"}};
    for (const auto& c : cases) {
        EXPECT_EQ(FormatCatalogMessage(c.pattern, c.arguments), c.filled)
            << Common::ToUtf8(c.pattern);
    }
}

}  // namespace
