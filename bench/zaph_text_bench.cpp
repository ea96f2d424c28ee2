// Reading a unit construction text that holds one composite of many DWord properties, with the
// properties written in name order, in reverse name order and in a shuffled order. Building a
// unit must stay close to linear in its size whatever the order: the reverse and shuffled texts
// should read within about 3 times the in-order one, and twice the properties in about twice
// the time. The text is made once per size and order, outside the timed loop; each iteration
// reads it, builds the unit and destroys it.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "enterprise/common/zaph/parser/unit_construction_format.h"
#include "enterprise/common/zaph/unit_factory.h"

namespace {

enum class Order { InOrder, Reverse, Shuffled };

// Hands over a text made beforehand without copying it into a UTF-16 string first.
class TextReader final : public Utils::DataReader {
  public:
    explicit TextReader(const std::string& text) : text_(text) {}
    void ReadData(std::vector<uint8_t>& bytes) override {
        bytes.assign(text_.begin(), text_.end());
    }

  private:
    const std::string& text_;
};

std::string MakeText(size_t count, Order order) {
    std::vector<uint32_t> indices(count);
    for (size_t i = 0; i < count; ++i) {
        indices[i] = static_cast<uint32_t>(i);
    }
    if (order == Order::Reverse) {
        std::reverse(indices.begin(), indices.end());
    } else if (order == Order::Shuffled) {
        std::shuffle(indices.begin(), indices.end(), std::mt19937(20261206));
    }
    std::string text = ".Composite()\n";
    text.reserve(count * 40);
    char line[64];
    for (uint32_t index : indices) {
        // Zero-padded, so that the name order is the number order.
        const int length = std::snprintf(line, sizeof line,
                                         ".Property(\"p%08u\").DWord(%u).End()\n", index, index);
        text.append(line, static_cast<size_t>(length));
    }
    text += ".End()\n";
    return text;
}

const std::string& Text(size_t count, Order order) {
    static std::map<std::pair<size_t, Order>, std::string> texts;
    auto& text = texts[{count, order}];
    if (text.empty()) {
        text = MakeText(count, order);
    }
    return text;
}

void ReadComposite(benchmark::State& state, Order order) {
    const size_t count = static_cast<size_t>(state.range(0));
    const std::string& text = Text(count, order);
    for (auto _ : state) {
        TextReader reader(text);
        const size_t units = Utils::UnitConstructionFormat::ReadEach(
            reader, Zaph::Construction::DefaultUnitFactory(),
            [](Zaph::Construction::UnitPtr unit) { benchmark::DoNotOptimize(unit.get()); });
        if (units != 1) {
            state.SkipWithError("the text did not read as one unit");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(count));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
}

void BM_ReadPropertiesInOrder(benchmark::State& state) {
    ReadComposite(state, Order::InOrder);
}
void BM_ReadPropertiesReverse(benchmark::State& state) {
    ReadComposite(state, Order::Reverse);
}
void BM_ReadPropertiesShuffled(benchmark::State& state) {
    ReadComposite(state, Order::Shuffled);
}

BENCHMARK(BM_ReadPropertiesInOrder)->Arg(1000000)->Arg(2000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPropertiesReverse)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPropertiesShuffled)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
