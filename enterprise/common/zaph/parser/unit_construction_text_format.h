// The writer of the unit construction text format: a unit as the statements that build it.
//
//   .Composite()
//     .Trait("Is").String("Machine").End()
//     .Property("Ports").Array()
//       .DWord(80).End()
//       .DWord(443).End()
//     .End()
//   .End()
//
// A unit at depth d (the root at 0) is written as its value statement; then, when it has traits,
// a line per trait; then, for a composite, a line per property and, for an array, a line per
// element. Each such line is the indent d + 1 times, ".Trait(<q>name<q>)" or
// ".Property(<q>name<q>)" (nothing for an element) and the member written at depth d + 1. The
// unit ends with ".End()", on its own line at indent d when any member lines were written.
// Value statements: .Composite() .Array() .Nil() .Blob() (no bytes) .Boolean(true|false)
// .String(<q>text<q>) and .Kind(value) for the others: decimal integers, "%g" doubles, the GUID
// text form, an error's text. Texts are written as they are: a quote inside one is not escaped,
// so such a text, like a Double, Blob or Error value, does not read back.
//
// Every line begins with the layout's line prefix and ends with its line suffix.
//
// Thread-safety: a writer may be used from several threads at once; the unit must not change
// while it is written. Units nested deeper than Zaph::kMaxUnitDepth raise
// Zaph::Errors::kUnitTooDeep.
#pragma once

#include <string>

#include "enterprise/common/zaph/view.h"

namespace UnitConstructorFormat {

/// The strings that lay the text out.
struct Layout {
    std::u16string linePrefix;
    std::u16string lineSuffix;
    std::u16string indent = u"  ";
    std::u16string lineBreak = u"\n";
    std::u16string quote = u"\"";
};

/// See the file comment.
class UnitConstructionTextFormat {
  public:
    explicit UnitConstructionTextFormat(Layout layout = {}) : layout_(std::move(layout)) {}

    /// The text of `unit`.
    std::u16string Write(const Zaph::View::Unit& unit) const;

  private:
    Layout layout_;
};

}  // namespace UnitConstructorFormat
