// The binary form of a unit: the canonical byte stream that units are hashed over and stored as.
//
// BinaryDataProvider turns the events of a value-first walk (unit_walker.h) into bytes and hands
// them to a BinaryDataConsumer. All numbers are little-endian.
//
//   unit begin / end        'U' / 'E'
//   composite / array       'C' / 'A' (then the members' events)
//   property / trait name   'P' / 'T', then the name as a String value (UTF-16 of the UTF-8 name)
//   Nil                     0
//   Boolean                 1, then 0 or 1
//   Byte, SByte             2 or 3, then one byte
//   Word, SWord             4 or 5, then two bytes
//   DWord, SDWord           6 or 7, then four bytes
//   QWord, SQWord           8 or 9, then eight bytes
//   Double                  10, then the eight bytes of the IEEE 754 value
//   Blob                    11, a u32 length, then the bytes
//   Guid                    12, then Data1, Data2, Data3 and the eight Data4 bytes
//   String                  13, a u32 length in bytes (two per UTF-16 unit), then the units
//   Error                   14, a u32 length, then the error's byte form (error.h)
//
// So a DWord 5 with the trait ("K", Nil) is 55 06 05 00 00 00 54 0D 02 00 00 00 4B 00 55 00 45 45.
// The form is written in one pass, without intermediate text. A blob, string or error longer
// than a u32 length can hold raises "ZAPH: An internal error has occurred." (Errors::kGeneral);
// an error whose byte form cannot be held in memory raises Common::kOutOfMemoryError.
//
// WriteUnitToBlob appends the binary form of a unit to a byte vector; ReadUnitFromBlob
// (blob_reader.h) reads it back.
//
// Thread-safety: a provider and its consumer belong to one walk.
#pragma once

#include <cstdint>
#include <string>

#include "enterprise/common/zaph/unit_walker.h"

namespace Zaph::Util {

/// The tags of the binary form.
namespace BinaryTag {
inline constexpr uint8_t kUnitBegin = 'U';
inline constexpr uint8_t kUnitEnd = 'E';
inline constexpr uint8_t kComposite = 'C';
inline constexpr uint8_t kArray = 'A';
inline constexpr uint8_t kProperty = 'P';
inline constexpr uint8_t kTrait = 'T';
}  // namespace BinaryTag

/// Receives the bytes of a binary form, in order.
class BinaryDataConsumer : private Common::NonCopyable {
  public:
    virtual ~BinaryDataConsumer() = default;
    virtual void Consume(const uint8_t* bytes, uint32_t size) = 0;
};

/// Writes the binary form of the walked events to a consumer.
class BinaryDataProvider final : public UnitWalker {
  public:
    explicit BinaryDataProvider(BinaryDataConsumer& consumer) : consumer_(consumer) {}

    void OnUnitBegin(const View::Unit*) override { Tag(BinaryTag::kUnitBegin); }
    void OnUnitEnd(const View::Unit*) override { Tag(BinaryTag::kUnitEnd); }
    void OnProperty(const Name& name) override;
    void OnTrait(const Name& name) override;
    void OnNil() override;
    void OnValue(const Common::Error& value) override;
    void OnValue(const String& value) override;
    void OnValue(const Guid& value) override;
    void OnValue(const Blob& value) override;
    void OnValue(double value) override;
    void OnValue(int64_t value) override;
    void OnValue(uint64_t value) override;
    void OnValue(int32_t value) override;
    void OnValue(uint32_t value) override;
    void OnValue(int16_t value) override;
    void OnValue(uint16_t value) override;
    void OnValue(int8_t value) override;
    void OnValue(uint8_t value) override;
    void OnValue(bool value) override;
    void OnArray() override { Tag(BinaryTag::kArray); }
    void OnComposite() override { Tag(BinaryTag::kComposite); }

  private:
    void Tag(uint8_t tag) { consumer_.Consume(&tag, 1); }
    // A type byte and `size` little-endian bytes of `value`.
    void Fixed(uint8_t type, uint64_t value, uint32_t size);
    // A type byte, a u32 length and the first bytes of the data.
    void Header(uint8_t type, size_t length);
    void NameValue(uint8_t tag, const Name& name);

    BinaryDataConsumer& consumer_;
    // Reused for names that are not plain ASCII.
    String wideName_;
};

/// Appends everything it consumes to a byte vector.
class BlobWriter final : public BinaryDataConsumer {
  public:
    explicit BlobWriter(Blob& blob) : blob_(blob) {}
    void Consume(const uint8_t* bytes, uint32_t size) override {
        blob_.insert(blob_.end(), bytes, bytes + size);
    }

  private:
    Blob& blob_;
};

/// Appends the binary form of `unit` to `blob`; on failure `blob` keeps what it held.
void WriteUnitToBlob(const View::Unit& unit, Blob& blob);

}  // namespace Zaph::Util
