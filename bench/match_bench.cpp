// Matching 1,000,000 small composite objects against three patterns, each beside a hand-written
// test that reads the same fields of the same units through the unit interfaces (Find and the
// getters):
//   Is        a composite pattern with the trait ("Is", "Person")
//   Props     a composite pattern {active: true, age: 42, city: "Oslo"}
//   Like      a composite pattern {name: "" with the trait ("Like", "%son")}
// An object is {active, age, city, id, name} with an "Is" trait. Items per second are objects
// per second; the counter allocs_per_object counts heap allocations made while matching.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "enterprise/common/zaph/container_access.h"
#include "enterprise/common/zaph/match.h"
#include "enterprise/common/zaph/unit_factory.h"
#include "enterprise/common/zaph/value_access.h"
#include "enterprise/common/zaph/wildcard.h"

namespace {

std::atomic<uint64_t> allocations{0};

}  // namespace

// Counts every allocation of the program, so that the matching loops can show they make none.
// GCC sees free() where these inline into code that used new, and takes it for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, size_t) noexcept {
    std::free(block);
}

namespace {

using Zaph::Construction::UnitPtr;
using Zaph::View::Unit;

constexpr uint32_t kObjects = 1000000;

Zaph::Construction::InMemoryUnitFactory& Factory() {
    return Zaph::Construction::DefaultUnitFactory();
}

void Set(UnitPtr& composite, const char* name, UnitPtr value) {
    Zaph::Util::Detail::CompositeOf(*composite)
        ->Set(Factory().CreateProperty(name, std::move(value)));
}

UnitPtr WithTrait(UnitPtr unit, const char* name, UnitPtr value) {
    unit->GetTraits().Add(Factory().CreateTrait(name, std::move(value)));
    return unit;
}

const std::vector<UnitPtr>& Objects() {
    static const std::vector<UnitPtr> objects = [] {
        const char16_t* const types[] = {u"Person", u"Car", u"Person", u"House"};
        const char16_t* const cities[] = {u"Oslo", u"Bergen", u"Lima", u"Oslo", u"Perth"};
        const char16_t* const names[] = {u"Anderson", u"Berg", u"Carlson", u"Dahl",  u"Eriksen",
                                         u"Johnson",  u"Lie",  u"Nilsen",  u"Olsen", u"Hanson"};
        std::vector<UnitPtr> all;
        all.reserve(kObjects);
        for (uint32_t i = 0; i < kObjects; ++i) {
            UnitPtr object = Factory().CreateComposite();
            Set(object, "active", Factory().CreateBoolean(i % 3 != 0));
            Set(object, "age", Factory().CreateDWord(i % 97));
            Set(object, "city", Factory().CreateString(cities[i % 5]));
            Set(object, "id", Factory().CreateDWord(i));
            Set(object, "name", Factory().CreateString(names[i % 10]));
            all.push_back(WithTrait(std::move(object), "Is", Factory().CreateString(types[i % 4])));
        }
        return all;
    }();
    return objects;
}

UnitPtr IsPattern() {
    return WithTrait(Factory().CreateComposite(), "Is", Factory().CreateString(u"Person"));
}

UnitPtr PropsPattern() {
    UnitPtr pattern = Factory().CreateComposite();
    Set(pattern, "active", Factory().CreateBoolean(true));
    Set(pattern, "age", Factory().CreateDWord(42));
    Set(pattern, "city", Factory().CreateString(u"Oslo"));
    return pattern;
}

UnitPtr LikePattern() {
    UnitPtr pattern = Factory().CreateComposite();
    Set(pattern, "name",
        WithTrait(Factory().CreateString(u""), "Like", Factory().CreateString(u"%son")));
    return pattern;
}

// ---- The hand-written tests ----

const Unit* Property(const Unit& object, const Zaph::Name& name) {
    const Unit* found = nullptr;
    auto take =
        Zaph::MakeProcessor<const Zaph::View::Property>([&](const Zaph::View::Property& property) {
            found = &property.GetValue();
            return true;
        });
    const Zaph::View::CompositeValue* composite = Zaph::Util::Detail::CompositeOf(object);
    return composite != nullptr && composite->Find(name, take) ? found : nullptr;
}

bool HandIs(const Unit& object) {
    bool found = false;
    auto test = Zaph::MakeProcessor<const Zaph::View::Trait>([&](const Zaph::View::Trait& trait) {
        found = Zaph::Util::GetValue<Zaph::String>(trait.GetValue()) == u"Person";
        return found;
    });
    object.GetTraits().ForEachNamed(Zaph::Name::Literal("Is"), test);
    return found;
}

bool HandProps(const Unit& object) {
    const Unit* active = Property(object, Zaph::Name::Literal("active"));
    if (active == nullptr || !Zaph::Util::GetValue<bool>(*active)) {
        return false;
    }
    const Unit* age = Property(object, Zaph::Name::Literal("age"));
    if (age == nullptr || Zaph::Util::GetValue<uint32_t>(*age) != 42) {
        return false;
    }
    const Unit* city = Property(object, Zaph::Name::Literal("city"));
    return city != nullptr && Zaph::Util::GetValue<Zaph::String>(*city) == u"Oslo";
}

bool HandLike(const Unit& object) {
    const Unit* name = Property(object, Zaph::Name::Literal("name"));
    return name != nullptr &&
           Zaph::Util::MatchWildcard(Zaph::Util::GetValue<Zaph::String>(*name), u"%son");
}

// ---- The loops ----

template <class Test>
void Run(benchmark::State& state, Test&& test) {
    const std::vector<UnitPtr>& objects = Objects();
    uint64_t matched = 0;
    const uint64_t before = allocations.load(std::memory_order_relaxed);
    for (auto _ : state) {
        matched = 0;
        for (const UnitPtr& object : objects) {
            matched += test(*object) ? 1 : 0;
        }
        benchmark::DoNotOptimize(matched);
    }
    const uint64_t made = allocations.load(std::memory_order_relaxed) - before;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kObjects);
    state.counters["matched"] = static_cast<double>(matched);
    state.counters["allocs_per_object"] =
        static_cast<double>(made) / (static_cast<double>(state.iterations()) * kObjects);
}

template <UnitPtr (*MakePattern)()>
void BM_Match(benchmark::State& state) {
    const UnitPtr pattern = MakePattern();
    Run(state, [&](const Unit& object) { return Zaph::Util::Match(object, *pattern); });
}

template <bool (*Test)(const Unit&)>
void BM_Hand(benchmark::State& state) {
    Run(state, Test);
}

BENCHMARK(BM_Match<IsPattern>)->Name("Is/Match")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Hand<HandIs>)->Name("Is/Hand")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Match<PropsPattern>)->Name("Props/Match")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Hand<HandProps>)->Name("Props/Hand")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Match<LikePattern>)->Name("Like/Match")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Hand<HandLike>)->Name("Like/Hand")->Unit(benchmark::kMillisecond);

}  // namespace
