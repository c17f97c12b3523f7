#include "fido/Cbor.h"

#include <benchmark/benchmark.h>

namespace {

CborItem sampleRequest()
{
    std::vector<std::pair<CborItem, CborItem>> cose;
    cose.emplace_back(cborFromInt64(1), cborFromInt64(2));
    cose.emplace_back(cborFromInt64(3), cborFromInt64(-25));
    cose.emplace_back(cborFromInt64(-1), cborFromInt64(1));
    cose.emplace_back(cborFromInt64(-2), cborFromBytes(Bytes(32, 0xAB)));
    cose.emplace_back(cborFromInt64(-3), cborFromBytes(Bytes(32, 0xCD)));
    std::vector<std::pair<CborItem, CborItem>> req;
    req.emplace_back(cborFromInt64(6), cborFromBytes(Bytes(80, 1)));
    req.emplace_back(cborFromInt64(1), cborFromInt64(2));
    req.emplace_back(cborFromInt64(3), cborMap(std::move(cose)));
    req.emplace_back(cborFromInt64(2), cborFromInt64(4));
    req.emplace_back(cborFromInt64(4), cborFromBytes(Bytes(32, 2)));
    return cborMap(std::move(req));
}

void BM_EncodeCanonicalMap(benchmark::State& state)
{
    CborItem map = sampleRequest();
    for (auto _ : state)
        benchmark::DoNotOptimize(encodeCanonicalCborMap(map.get()));
}
BENCHMARK(BM_EncodeCanonicalMap);

void BM_DecodeAnswer(benchmark::State& state)
{
    CborItem map = sampleRequest();
    const Bytes encoded = encodeCanonicalCborMap(map.get());
    for (auto _ : state)
        benchmark::DoNotOptimize(cborDecode(encoded));
}
BENCHMARK(BM_DecodeAnswer);

} // namespace

BENCHMARK_MAIN();
