// Zaph units beside a std::map / std::variant tree of the same shape: a composite of 10,000
// properties (added in name order) and an array of 100,000 elements, each value a DWord.
// Measured: building (and destroying), visiting every value, copying, comparing and testing
// equality of two equal trees.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "core/common/guid.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/copy_unit.h"
#include "enterprise/common/zaph/unit_factory.h"
#include "enterprise/common/zaph/value_access.h"

namespace {

constexpr uint32_t kProperties = 10000;
constexpr uint32_t kElements = 100000;

// ---- The reference: a tree of std::map and std::variant ----

struct RefNode;
using RefComposite = std::map<std::string, RefNode, std::less<>>;
using RefArray = std::vector<RefNode>;
struct RefNode {
    std::variant<std::monostate, bool, uint8_t, int8_t, uint16_t, int16_t, uint32_t, int32_t,
                 uint64_t, int64_t, double, std::vector<uint8_t>, Common::Guid, std::u16string,
                 RefArray, RefComposite>
        value;
    friend bool operator==(const RefNode& a, const RefNode& b) { return a.value == b.value; }
    friend bool operator<(const RefNode& a, const RefNode& b) { return a.value < b.value; }
};

const std::vector<std::string>& Names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        char text[16];
        for (uint32_t i = 0; i < kProperties; ++i) {
            std::snprintf(text, sizeof text, "p%05u", i);
            all.emplace_back(text);
        }
        return all;
    }();
    return names;
}

RefNode RefBuildComposite() {
    RefComposite composite;
    for (uint32_t i = 0; i < kProperties; ++i) {
        composite.emplace_hint(composite.end(), Names()[i], RefNode{i});
    }
    return RefNode{std::move(composite)};
}

RefNode RefBuildArray() {
    RefArray array;
    for (uint32_t i = 0; i < kElements; ++i) {
        array.push_back(RefNode{i});
    }
    return RefNode{std::move(array)};
}

uint64_t RefSum(const RefNode& node) {
    uint64_t sum = 0;
    if (const auto* composite = std::get_if<RefComposite>(&node.value)) {
        for (const auto& [name, value] : *composite) {
            if (const auto* number = std::get_if<uint32_t>(&value.value)) {
                sum += *number;
            }
        }
    } else if (const auto* array = std::get_if<RefArray>(&node.value)) {
        for (const RefNode& element : *array) {
            if (const auto* number = std::get_if<uint32_t>(&element.value)) {
                sum += *number;
            }
        }
    }
    return sum;
}

// ---- Zaph units ----

using Zaph::Construction::UnitPtr;

Zaph::Construction::InMemoryUnitFactory factory;

UnitPtr BuildComposite() {
    UnitPtr unit = factory.CreateComposite();
    struct : Zaph::Construction::CompositeVisitor {
        using CompositeVisitor::Visit;
        void Visit(Zaph::Construction::CompositeValue& composite) override {
            for (uint32_t i = 0; i < kProperties; ++i) {
                composite.Set(factory.CreateProperty(Names()[i], factory.CreateDWord(i)));
            }
        }
    } fill;
    unit->Accept(fill);
    return unit;
}

UnitPtr BuildArray() {
    UnitPtr unit = factory.CreateArray();
    struct : Zaph::Construction::ArrayVisitor {
        using ArrayVisitor::Visit;
        void Visit(Zaph::Construction::ArrayValue& array) override {
            for (uint32_t i = 0; i < kElements; ++i) {
                array.PushBack(factory.CreateDWord(i));
            }
        }
    } fill;
    unit->Accept(fill);
    return unit;
}

uint64_t Sum(const Zaph::View::Unit& unit) {
    struct Summer : Zaph::View::NullVisitor {
        using NullVisitor::Visit;
        void Visit(const Zaph::View::ScalarValue<uint32_t>& value) override {
            sum += value.GetValue();
        }
        void Visit(const Zaph::View::CompositeValue& composite) override {
            auto add = Zaph::MakeProcessor<const Zaph::View::Property>([this](const auto& p) {
                p.GetValue().Accept(*this);
                return false;
            });
            composite.ForEach(add);
        }
        void Visit(const Zaph::View::ArrayValue& array) override {
            auto add = Zaph::MakeProcessor<const Zaph::View::Unit>([this](const auto& element) {
                element.Accept(*this);
                return false;
            });
            array.ForEach(add);
        }
        uint64_t sum = 0;
    } summer;
    unit.Accept(summer);
    return summer.sum;
}

// ---- Benchmarks, ours then the reference, per operation ----

void BM_BuildComposite_Zaph(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(BuildComposite());
    }
}
void BM_BuildComposite_Map(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(RefBuildComposite());
    }
}
void BM_BuildArray_Zaph(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(BuildArray());
    }
}
void BM_BuildArray_Vector(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(RefBuildArray());
    }
}

template <UnitPtr (*Build)()>
void BM_Visit_Zaph(benchmark::State& state) {
    const UnitPtr unit = Build();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Sum(*unit));
    }
}
template <RefNode (*Build)()>
void BM_Visit_Ref(benchmark::State& state) {
    const RefNode node = Build();
    for (auto _ : state) {
        benchmark::DoNotOptimize(RefSum(node));
    }
}

template <UnitPtr (*Build)()>
void BM_Copy_Zaph(benchmark::State& state) {
    const UnitPtr unit = Build();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Zaph::Util::CopyUnit(*unit, factory));
    }
}
template <RefNode (*Build)()>
void BM_Copy_Ref(benchmark::State& state) {
    const RefNode node = Build();
    for (auto _ : state) {
        RefNode copy = node;
        benchmark::DoNotOptimize(copy);
    }
}

template <UnitPtr (*Build)()>
void BM_Compare_Zaph(benchmark::State& state) {
    const UnitPtr left = Build();
    const UnitPtr right = Build();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Zaph::Util::CompareUnits(*left, *right));
    }
}
template <RefNode (*Build)()>
void BM_Compare_Ref(benchmark::State& state) {
    const RefNode left = Build();
    const RefNode right = Build();
    for (auto _ : state) {
        benchmark::DoNotOptimize(left < right);
    }
}

template <UnitPtr (*Build)()>
void BM_Equal_Zaph(benchmark::State& state) {
    const UnitPtr left = Build();
    const UnitPtr right = Build();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Zaph::Util::UnitsEqual(*left, *right));
    }
}
template <RefNode (*Build)()>
void BM_Equal_Ref(benchmark::State& state) {
    const RefNode left = Build();
    const RefNode right = Build();
    for (auto _ : state) {
        benchmark::DoNotOptimize(left == right);
    }
}

BENCHMARK(BM_BuildComposite_Zaph)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BuildComposite_Map)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BuildArray_Zaph)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BuildArray_Vector)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Visit_Zaph<BuildComposite>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Visit_Ref<RefBuildComposite>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Visit_Zaph<BuildArray>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Visit_Ref<RefBuildArray>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Copy_Zaph<BuildComposite>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Copy_Ref<RefBuildComposite>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Copy_Zaph<BuildArray>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Copy_Ref<RefBuildArray>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Compare_Zaph<BuildComposite>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Compare_Ref<RefBuildComposite>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Compare_Zaph<BuildArray>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Compare_Ref<RefBuildArray>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Equal_Zaph<BuildComposite>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Equal_Ref<RefBuildComposite>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Equal_Zaph<BuildArray>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Equal_Ref<RefBuildArray>)->Unit(benchmark::kMicrosecond);

}  // namespace
