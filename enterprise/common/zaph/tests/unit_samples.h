// Sample units for the tests of walks, binary forms, blobs and the trace printout: one unit of
// every kind, and random trees of every kind with traits.
#pragma once

#include <cmath>
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
    std::vector<UnitPtr> units;
    units.push_back(f.CreateNil());
    units.push_back(f.CreateBoolean(true));
    units.push_back(f.CreateByte(0xfe));
    units.push_back(f.CreateSByte(-2));
    units.push_back(f.CreateWord(0xfedc));
    units.push_back(f.CreateSWord(-300));
    units.push_back(f.CreateDWord(0xfedcba98));
    units.push_back(f.CreateSDWord(-70000));
    units.push_back(f.CreateQWord(0xfedcba9876543210ULL));
    units.push_back(f.CreateSQWord(std::numeric_limits<int64_t>::min()));
    units.push_back(f.CreateDouble(-0.25));
    units.push_back(f.CreateBlob({0, 1, 0xff}));
    Common::Guid guid;
    Common::GuidFromString("00112233-4455-6677-8899-AABBCCDDEEFF", guid);
    units.push_back(f.CreateGuid(guid));
    units.push_back(f.CreateString(u"t\u00e9xt"));
    Common::Error error(COMMON_PLACE("ZaphTest::OneOfEveryKind"), 0xFA0001, u"outer");
    error.Add(Common::Error(COMMON_PLACE("ZaphTest::OneOfEveryKind"), 7, u"inner"));
    units.push_back(f.CreateError(error));
    units.push_back(Array(DWord(1), Str(u"two")));
    units.push_back(Composite(Prop{"a", DWord(1)}, Prop{"b", Nil()}));
    return units;
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
    uint64_t Bits() { return engine_(); }

    std::string MakeName() {
        static const char* const kNames[] = {"a", "b", "Key", "K", "", "n\xc3\xa9", "x.y", "&"};
        return kNames[Below(8)];
    }

    UnitPtr MakeValue(int depth) {
        auto& f = Factory();
        const int kind = Below(depth > 0 ? 17 : 15);
        switch (kind) {
            case 0:
                return f.CreateNil();
            case 1:
                return f.CreateBoolean(Below(2) == 1);
            case 2:
                return f.CreateByte(static_cast<uint8_t>(Bits()));
            case 3:
                return f.CreateSByte(static_cast<int8_t>(Bits()));
            case 4:
                return f.CreateWord(static_cast<uint16_t>(Bits()));
            case 5:
                return f.CreateSWord(static_cast<int16_t>(Bits()));
            case 6:
                return f.CreateDWord(static_cast<uint32_t>(Bits()));
            case 7:
                return f.CreateSDWord(static_cast<int32_t>(Bits()));
            case 8:
                return f.CreateQWord(Bits());
            case 9:
                return f.CreateSQWord(static_cast<int64_t>(Bits()));
            case 10:
                return f.CreateDouble(Below(5) == 0 ? std::nan("") : static_cast<double>(Bits()));
            case 11: {
                Zaph::Blob blob(Below(40));
                for (auto& byte : blob) {
                    byte = static_cast<uint8_t>(Bits());
                }
                return f.CreateBlob(blob);
            }
            case 12: {
                Common::Guid guid;
                guid.Data1 = static_cast<uint32_t>(Bits());
                guid.Data4[7] = static_cast<uint8_t>(Bits());
                return f.CreateGuid(guid);
            }
            case 13: {
                std::u16string text(Below(12), u'\0');
                for (auto& unit : text) {
                    unit = static_cast<char16_t>(Below(4) == 0 ? Bits() : u'a' + Below(26));
                }
                return f.CreateString(text);
            }
            case 14:
                return f.CreateError(Common::Error(COMMON_PLACE("ZaphTest::RandomUnits::MakeValue"),
                                                   static_cast<uint32_t>(Below(3)), u"random"));
            case 15: {
                UnitPtr array = f.CreateArray();
                for (int i = Below(4); i > 0; --i) {
                    AsArray(*array).PushBack(Make(depth - 1));
                }
                return array;
            }
            default: {
                UnitPtr composite = f.CreateComposite();
                for (int i = Below(4); i > 0; --i) {
                    AsComposite(*composite).Set(f.CreateProperty(MakeName(), Make(depth - 1)));
                }
                return composite;
            }
        }
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
