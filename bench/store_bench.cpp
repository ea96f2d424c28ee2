// Reports of the object store, in process: one type through the type table, and a scan of every
// object. Run by bench/store_bench.sh, which fills the store named by KIVO_STORE_BENCH_DB with
// kivo_store and times the sqlite3 shell reading the same rows beside these figures.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "enterprise/common/zaph/unit_builder.h"
#include "platform/store/store.h"

namespace {

std::shared_ptr<KivoStore::Store> OpenBenchStore() {
    const char* path = std::getenv("KIVO_STORE_BENCH_DB");
    if (path == nullptr)
        return nullptr;
    const std::string text(path);
    return KivoStore::Store::Open(std::u16string(text.begin(), text.end()));
}

void RunReport(benchmark::State& state, const Zaph::View::SharedUnitPtr& pattern) {
    const std::shared_ptr<KivoStore::Store> store = OpenBenchStore();
    if (store == nullptr) {
        state.SkipWithError("KIVO_STORE_BENCH_DB names no store");
        return;
    }
    size_t objects = 0;
    for (auto _ : state) {
        objects = store->Report(*pattern, 0, [](const Zaph::View::SharedUnitPtr& object) {
            benchmark::DoNotOptimize(object.get());
        });
    }
    state.counters["objects"] = static_cast<double>(objects);
    state.counters["objects/s"] = benchmark::Counter(
        static_cast<double>(objects) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_ReportOneType(benchmark::State& state) {
    RunReport(state, Zaph::View::SharedUnitPtr(
                         Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
                             .Composite()
                             .Trait("Is")
                             .String(u"Type7")
                             .End()
                             .End()
                             .TakeResult()));
}
BENCHMARK(BM_ReportOneType)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ReportScan(benchmark::State& state) {
    RunReport(state, Zaph::View::SharedUnitPtr(
                         Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
                             .Nil()
                             .End()
                             .TakeResult()));
}
BENCHMARK(BM_ReportScan)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
