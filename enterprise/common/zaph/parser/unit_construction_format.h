// Unit formats: reading units from a data reader and writing them to a data writer.
//
//   ZaphFormat              the interface of a unit format
//   DataWriter              where a format writes a unit's bytes
//   UnitConstructionFormat  the unit construction text format (unit_construction_parser.h for
//                           the reading rules, unit_construction_text_format.h for the writing)
//
// UnitConstructionFormat::Read takes every byte of the reader, interprets them with a
// Zaph::Util::UnitAccumulator over the caller's factory and returns the unit whose root was
// closed last; null when no root was closed (an empty or blank text, a root left open). Its
// trace line goes to the format's trace stream: standard output unless the format was made with
// another stream. An error ends the read and discards the partly built unit.
//
// ReadEach serves inputs that hold many units one after another: it hands each unit to the
// callback as soon as its root is closed, with no trace, so that only one unit is held at a
// time besides the input bytes. In ReadMode::Strict (unit_construction_parser.h) the input must
// be exactly a sequence of complete root units, with white space between them or not: a value
// given to a unit that already has one (a missing End) raises code 4, an input that ends inside
// a unit raises code 12 after the units before it were delivered, a number out of its kind's
// range raises code 3 or 8; every error of the text then names the line and column of its
// statement.
//
// Write produces the text as UTF-16 little-endian code units without a byte-order mark; Read
// takes one UTF-8 text, so a written text reads back only after it is converted to UTF-8.
//
// Thread-safety: a format object belongs to one reading or writing at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <vector>

#include "core/common/noncopyable.h"
#include "enterprise/common/zaph/parser/data_reader.h"
#include "enterprise/common/zaph/parser/unit_construction_parser.h"
#include "enterprise/common/zaph/unit_factory.h"

namespace Utils {

/// How strictly a unit construction text is read: ReadMode::Lenient or ReadMode::Strict.
using ReadMode = UnitConstructionParser::ReadMode;

/// Where a format writes the bytes of a unit.
class DataWriter : private Common::NonCopyable {
  public:
    virtual ~DataWriter() = default;
    virtual void WriteData(const std::vector<uint8_t>& bytes) = 0;
};

/// The interface of a unit format.
class ZaphFormat : private Common::NonCopyable {
  public:
    virtual ~ZaphFormat() = default;
    /// Reads one unit made by `factory` from `reader`; null when the input holds none.
    virtual Zaph::Construction::UnitPtr Read(DataReader& reader,
                                             Zaph::Construction::UnitFactory& factory) = 0;
    /// Writes `unit` to `writer`.
    virtual void Write(const Zaph::View::Unit& unit, DataWriter& writer) = 0;
};

/// The unit construction text format; see the file comment.
class UnitConstructionFormat final : public ZaphFormat {
  public:
    /// Receives the units of ReadEach one by one.
    using UnitCallback = std::function<void(Zaph::Construction::UnitPtr)>;

    /// A format that traces to standard output.
    UnitConstructionFormat();
    /// A format that traces to `trace`, which must outlive it.
    explicit UnitConstructionFormat(std::ostream& trace) : trace_(trace) {}

    Zaph::Construction::UnitPtr Read(DataReader& reader,
                                     Zaph::Construction::UnitFactory& factory) override;
    void Write(const Zaph::View::Unit& unit, DataWriter& writer) override;

    /// Reads every unit of `reader`, without trace, calling `callback` with each as soon as its
    /// root is closed, in text order; returns how many were delivered. An error (of the reader,
    /// the text, the builder or the callback) ends the reading after the units already
    /// delivered. A last root left open is not delivered: silently in lenient mode, with
    /// error code 12 in strict mode (see the file comment).
    static size_t ReadEach(DataReader& reader, Zaph::Construction::UnitFactory& factory,
                           const UnitCallback& callback, ReadMode mode = ReadMode::Lenient);

  private:
    std::ostream& trace_;
};

}  // namespace Utils
