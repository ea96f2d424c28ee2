// Sample units for the tests of walks, binary forms, blobs and the trace printout: one unit of
// every kind, and random trees of every kind with traits.
#pragma once

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/common/zaph/unit_walker.h"

namespace ZaphTest {

/// The binary form of `unit`.
inline Zaph::Blob BinaryForm(const Zaph::View::Unit& unit) {
    Zaph::Blob blob;
    Zaph::Util::WriteUnitToBlob(unit, blob);
    return blob;
}

/// One unit of each kind, in type index order.
inline std::vector<UnitPtr> OneOfEveryKind() {
    auto& f = Factory();
    Common::Guid guid;
    Common::GuidFromString("00112233-4455-6677-8899-AABBCCDDEEFF", guid);
    Common::Error error(COMMON_PLACE("ZaphTest::OneOfEveryKind"), 0xFA0001, u"outer");
    error.Add(Common::Error(COMMON_PLACE("ZaphTest::OneOfEveryKind"), 7, u"inner"));
    return UnitList(f.CreateNil(), f.CreateBoolean(true), f.CreateByte(0xfe), f.CreateSByte(-2),
                    f.CreateWord(0xfedc), f.CreateSWord(-300), f.CreateDWord(0xfedcba98),
                    f.CreateSDWord(-70000), f.CreateQWord(0xfedcba9876543210ULL),
                    f.CreateSQWord(std::numeric_limits<int64_t>::min()), f.CreateDouble(-0.25),
                    f.CreateBlob({0, 1, 0xff}), f.CreateGuid(guid), f.CreateString(u"t\u00e9xt"),
                    f.CreateError(error), Array(DWord(1), Str(u"two")),
                    Composite(Prop{"a", DWord(1)}, Prop{"b", Nil()}));
}

/// Random unit trees: every kind, traits, names that repeat, NaNs and unpaired surrogates.
class RandomUnits {
  public:
    explicit RandomUnits(uint32_t seed) : engine_(seed) {}

    UnitPtr Make(int depth) {
        UnitPtr unit = MakeValue(depth);
        const int traits = Below(4) == 0 ? Below(3) + 1 : 0;
        for (int i = 0; i < traits; ++i) {
            unit->GetTraits().Add(
                Factory().CreateTrait(MakeName(), depth > 0 ? Make(depth - 1) : Nil()));
        }
        return unit;
    }

  private:
    int Below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(engine_); }
    template <class T>
    T Bits() {
        return static_cast<T>(engine_());
    }

    std::string MakeName() {
        static const char* const kNames[] = {"a", "b", "Key", "K", "", "n\xc3\xa9", "x.y", "&"};
        return kNames[Below(8)];
    }

    // The containers (the last two kinds) only above the deepest level.
    UnitPtr MakeValue(int depth) {
        auto& f = Factory();
        const std::function<UnitPtr()> kinds[] = {
            [&] { return f.CreateNil(); },
            [&] { return f.CreateBoolean(Below(2) == 1); },
            [&] { return f.CreateByte(Bits<uint8_t>()); },
            [&] { return f.CreateSByte(Bits<int8_t>()); },
            [&] { return f.CreateWord(Bits<uint16_t>()); },
            [&] { return f.CreateSWord(Bits<int16_t>()); },
            [&] { return f.CreateDWord(Bits<uint32_t>()); },
            [&] { return f.CreateSDWord(Bits<int32_t>()); },
            [&] { return f.CreateQWord(Bits<uint64_t>()); },
            [&] { return f.CreateSQWord(Bits<int64_t>()); },
            [&] { return f.CreateDouble(Below(5) == 0 ? std::nan("") : Bits<double>()); },
            [&] {
                Zaph::Blob blob(Below(40));
                for (auto& byte : blob) {
                    byte = Bits<uint8_t>();
                }
                return f.CreateBlob(blob);
            },
            [&] {
                Common::Guid guid;
                guid.Data1 = Bits<uint32_t>();
                guid.Data4[7] = Bits<uint8_t>();
                return f.CreateGuid(guid);
            },
            [&] {
                std::u16string text(Below(12), u'\0');
                for (auto& unit : text) {
                    unit =
                        Below(4) == 0 ? Bits<char16_t>() : static_cast<char16_t>(u'a' + Below(26));
                }
                return f.CreateString(text);
            },
            [&] {
                return f.CreateError(Common::Error(COMMON_PLACE("ZaphTest::RandomUnits::MakeValue"),
                                                   static_cast<uint32_t>(Below(3)), u"random"));
            },
            [&] {
                UnitPtr array = f.CreateArray();
                for (int i = Below(4); i > 0; --i) {
                    AsArray(*array).PushBack(Make(depth - 1));
                }
                return array;
            },
            [&] {
                UnitPtr composite = f.CreateComposite();
                for (int i = Below(4); i > 0; --i) {
                    AsComposite(*composite).Set(f.CreateProperty(MakeName(), Make(depth - 1)));
                }
                return composite;
            },
        };
        return kinds[Below(depth > 0 ? 17 : 15)]();
    }

    std::mt19937_64 engine_;
};

/// Records a walk as text: "<" and ">" for a unit ("?" begins a unit replayed without one), the
/// type index digit of Boolean to SQWord, d n s g b e for Double, Nil, String, Guid, Blob and
/// Error, A and C for the containers, P and T followed by the name.
class WalkRecorder final : public Zaph::Util::UnitWalker {
  public:
    void OnUnitBegin(const Zaph::View::Unit* unit) override { text += unit ? "<" : "?"; }
    void OnUnitEnd(const Zaph::View::Unit*) override { text += ">"; }
    void OnProperty(const Zaph::Name& name) override { (text += 'P') += name.View(); }
    void OnTrait(const Zaph::Name& name) override { (text += 'T') += name.View(); }
    void OnNil() override { text += "n"; }
    void OnValue(const Common::Error&) override { text += "e"; }
    void OnValue(const Zaph::String&) override { text += "s"; }
    void OnValue(const Zaph::Guid&) override { text += "g"; }
    void OnValue(const Zaph::Blob&) override { text += "b"; }
    void OnValue(double) override { text += "d"; }
    void OnValue(int64_t) override { text += "9"; }
    void OnValue(uint64_t) override { text += "8"; }
    void OnValue(int32_t) override { text += "7"; }
    void OnValue(uint32_t) override { text += "6"; }
    void OnValue(int16_t) override { text += "5"; }
    void OnValue(uint16_t) override { text += "4"; }
    void OnValue(int8_t) override { text += "3"; }
    void OnValue(uint8_t) override { text += "2"; }
    void OnValue(bool) override { text += "1"; }
    void OnArray() override { text += "A"; }
    void OnComposite() override { text += "C"; }

    std::string text;
};

}  // namespace ZaphTest
