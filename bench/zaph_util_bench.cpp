// Unit hashing beside OpenSSL's MD5 over the same bytes, and blob round trips of units.
//
//   Blob16M        one Blob unit of 16 MiB (the binary form is 16 MiB and 7 bytes)
//   SmallObjects   100,000 composites of the shape of an object record (about 130 bytes each),
//                  each hashed, written or read on its own
//
// *_Ours hashes the unit (walk, binary form, MD5); *_Md5Only runs our MD5 alone over the binary
// form; *_OpenSsl runs EVP_Digest with EVP_md5() over the same binary form.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <random>
#include <vector>

#include "enterprise/common/zaph/blob_reader.h"
#include "enterprise/common/zaph/unit_factory.h"
#include "enterprise/common/zaph/unit_hash.h"
#include "enterprise/common/zaph/unit_utilities.h"

namespace {

using Zaph::Blob;
using Zaph::Construction::UnitPtr;

Zaph::Construction::InMemoryUnitFactory& Factory() {
    return Zaph::Construction::DefaultUnitFactory();
}

void Set(Zaph::Construction::Unit& composite, const char* name, UnitPtr value) {
    Zaph::Util::AddProperty(composite, Factory().CreateProperty(name, std::move(value)));
}

UnitPtr SmallObject(uint32_t index) {
    UnitPtr object = Factory().CreateComposite();
    Common::Guid id;
    id.Data1 = index;
    Set(*object, "Id", Factory().CreateGuid(id));
    Set(*object, "Name",
        Factory().CreateString(u"machine-" + std::u16string(4, u'a' + index % 26)));
    Set(*object, "Port", Factory().CreateDWord(index % 65536));
    Set(*object, "Enabled", Factory().CreateBoolean(index % 2 == 0));
    object->GetTraits().Add(Factory().CreateTrait("Is", Factory().CreateString(u"Machine")));
    return object;
}

const std::vector<UnitPtr>& SmallObjects() {
    static const std::vector<UnitPtr> objects = [] {
        std::vector<UnitPtr> all;
        for (uint32_t i = 0; i < 100'000; ++i) {
            all.push_back(SmallObject(i));
        }
        return all;
    }();
    return objects;
}

const std::vector<Blob>& SmallForms() {
    static const std::vector<Blob> forms = [] {
        std::vector<Blob> all;
        for (const UnitPtr& object : SmallObjects()) {
            all.emplace_back();
            Zaph::Util::WriteUnitToBlob(*object, all.back());
        }
        return all;
    }();
    return forms;
}

int64_t SmallFormsBytes() {
    int64_t bytes = 0;
    for (const Blob& form : SmallForms()) {
        bytes += static_cast<int64_t>(form.size());
    }
    return bytes;
}

const UnitPtr& BigBlob() {
    static const UnitPtr unit = [] {
        std::mt19937 random(5);
        Blob bytes(16u << 20);
        for (uint8_t& byte : bytes) {
            byte = static_cast<uint8_t>(random());
        }
        return Factory().CreateBlob(bytes);
    }();
    return unit;
}

const Blob& BigForm() {
    static const Blob form = [] {
        Blob bytes;
        Zaph::Util::WriteUnitToBlob(*BigBlob(), bytes);
        return bytes;
    }();
    return form;
}

void OpenSslMd5(const Blob& bytes, unsigned char* digest) {
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr);
}

void BM_Blob16M_UnitHash_Ours(benchmark::State& state) {
    const UnitPtr& unit = BigBlob();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Zaph::Util::ComputeUnitHash(*unit));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * BigForm().size()));
}
BENCHMARK(BM_Blob16M_UnitHash_Ours)->Unit(benchmark::kMillisecond);

void BM_Blob16M_Md5Only(benchmark::State& state) {
    const Blob& form = BigForm();
    for (auto _ : state) {
        Zaph::Util::Md5 md5;
        md5.Update(form.data(), form.size());
        benchmark::DoNotOptimize(md5.Finish());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * form.size()));
}
BENCHMARK(BM_Blob16M_Md5Only)->Unit(benchmark::kMillisecond);

void BM_Blob16M_OpenSsl(benchmark::State& state) {
    const Blob& form = BigForm();
    unsigned char digest[16];
    for (auto _ : state) {
        OpenSslMd5(form, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * form.size()));
}
BENCHMARK(BM_Blob16M_OpenSsl)->Unit(benchmark::kMillisecond);

void BM_SmallObjects_UnitHash_Ours(benchmark::State& state) {
    const std::vector<UnitPtr>& objects = SmallObjects();
    for (auto _ : state) {
        for (const UnitPtr& object : objects) {
            benchmark::DoNotOptimize(Zaph::Util::ComputeUnitHash(*object));
        }
    }
    state.SetBytesProcessed(state.iterations() * SmallFormsBytes());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * objects.size()));
}
BENCHMARK(BM_SmallObjects_UnitHash_Ours)->Unit(benchmark::kMillisecond);

void BM_SmallObjects_Md5Only(benchmark::State& state) {
    const std::vector<Blob>& forms = SmallForms();
    for (auto _ : state) {
        for (const Blob& form : forms) {
            Zaph::Util::Md5 md5;
            md5.Update(form.data(), form.size());
            benchmark::DoNotOptimize(md5.Finish());
        }
    }
    state.SetBytesProcessed(state.iterations() * SmallFormsBytes());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * forms.size()));
}
BENCHMARK(BM_SmallObjects_Md5Only)->Unit(benchmark::kMillisecond);

void BM_SmallObjects_OpenSsl(benchmark::State& state) {
    const std::vector<Blob>& forms = SmallForms();
    unsigned char digest[16];
    for (auto _ : state) {
        for (const Blob& form : forms) {
            OpenSslMd5(form, digest);
            benchmark::DoNotOptimize(digest);
        }
    }
    state.SetBytesProcessed(state.iterations() * SmallFormsBytes());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * forms.size()));
}
BENCHMARK(BM_SmallObjects_OpenSsl)->Unit(benchmark::kMillisecond);

void BM_SmallObjects_WriteToBlob(benchmark::State& state) {
    const std::vector<UnitPtr>& objects = SmallObjects();
    Blob blob;
    for (auto _ : state) {
        for (const UnitPtr& object : objects) {
            blob.clear();
            Zaph::Util::WriteUnitToBlob(*object, blob);
            benchmark::DoNotOptimize(blob.data());
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * objects.size()));
}
BENCHMARK(BM_SmallObjects_WriteToBlob)->Unit(benchmark::kMillisecond);

void BM_SmallObjects_ReadFromBlob(benchmark::State& state) {
    const std::vector<Blob>& forms = SmallForms();
    for (auto _ : state) {
        for (const Blob& form : forms) {
            benchmark::DoNotOptimize(Zaph::Util::ReadUnitFromBlob(form, Factory()));
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * forms.size()));
}
BENCHMARK(BM_SmallObjects_ReadFromBlob)->Unit(benchmark::kMillisecond);

void BM_SmallObjects_RoundTrip(benchmark::State& state) {
    const std::vector<UnitPtr>& objects = SmallObjects();
    Blob blob;
    for (auto _ : state) {
        for (const UnitPtr& object : objects) {
            blob.clear();
            Zaph::Util::WriteUnitToBlob(*object, blob);
            benchmark::DoNotOptimize(Zaph::Util::ReadUnitFromBlob(blob, Factory()));
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * objects.size()));
}
BENCHMARK(BM_SmallObjects_RoundTrip)->Unit(benchmark::kMillisecond);

}  // namespace
