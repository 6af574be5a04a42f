// The compact-region part of the segment fuzz target: an arbitrary byte
// string is taken as the start of a compact region (the rest of the region
// zero, as in a sparse file) and every read, lookup, check, rebuild and
// append is run on it. A length or offset that lies must be refused or
// skipped, never followed outside the region.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/segment/compact_region.h"
#include "core/segment/key_index.h"

namespace qarbin_fuzz {

// Regions larger than this are not mapped for one input.
constexpr uint64_t kMaxFuzzRegion = uint64_t{64} << 20;

inline void compactCheck(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
        std::abort();
    }
}

// The region length an input's own header asks for, or 0.
inline uint64_t compactLengthOf(const uint8_t* data, size_t size) {
    if (size < qarbin::kCompactHeaderBytes) return 0;
    qarbin::CompactHeader h;
    std::memcpy(static_cast<void*>(&h), data, sizeof h);
    qarbin::CompactLayout l;
    if (!qarbin::computeCompactLayout(h.base.capacity.load(), h.base.dim,
                                      static_cast<qarbin::Quantization>(h.base.quantization), h.base.pqSubvectors, &l))
        return 0;
    return l.regionBytes <= kMaxFuzzRegion ? l.regionBytes : 0;
}

inline void exerciseCompact(qarbin::CompactRegion& r) {
    const uint64_t count = r.entryCount();
    compactCheck(count <= r.capacity(), "entries within capacity");
    const uint64_t look = count < 4096 ? count : 4096;
    std::vector<std::string> keys;
    for (uint64_t i = 0; i < look; ++i) {
        qarbin::VarSpan s;
        if (!r.span(i, &s)) continue;
        compactCheck(s.keyLen <= qarbin::kCompactMaxKeyBytes && s.metaLen <= qarbin::kCompactMaxMetadataBytes,
                     "span lengths bounded");
        volatile uint8_t sink = 0;
        for (uint32_t j = 0; j < s.keyLen; ++j) sink ^= static_cast<uint8_t>(s.key[j]);
        for (uint32_t j = 0; j < s.metaLen; ++j) sink ^= static_cast<uint8_t>(s.meta[j]);
        (void)sink;
        if (keys.size() < 8) keys.emplace_back(s.key, s.keyLen);
    }
    keys.push_back("k0");
    keys.push_back("");
    std::vector<uint64_t> out;
    for (const std::string& k : keys) {
        out.clear();
        const uint64_t id = qarbin::keyHash(k.data(), k.size());
        r.findLive(id, k.data(), static_cast<uint32_t>(k.size()), out);
        for (uint64_t i : out) compactCheck(i < count, "found entry within entries");
    }
    const bool sound = r.keyTableSound();
    (void)sound;
    r.rebuildKeyTable();
    std::vector<uint8_t> row(r.rowBytes());
    const char* key = "fuzz-new";
    const uint64_t id = qarbin::keyHash(key, 8);
    if (r.add(id, key, 8, row.data(), 1.0f, "meta", 4) == qarbin::CompactAdd::Stored) {
        out.clear();
        r.findLive(id, key, 8, out);
    }
    r.markDeleted(0);
}

// Runs one input as a compact region: private, zeroed, the input copied
// over its start; then once more cut to the input's own length.
inline void runCompactOne(const uint8_t* data, size_t size) {
    const uint64_t len = compactLengthOf(data, size);
    if (len == 0) return;
    void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return;
    uint8_t* base = static_cast<uint8_t*>(p);
    std::memcpy(base, data, size < len ? size : len);
    for (const uint64_t view : {len, static_cast<uint64_t>(size) < len ? static_cast<uint64_t>(size) : len}) {
        qarbin::CompactRegion r(base, view);
        if (r.usable()) exerciseCompact(r);
    }
    munmap(p, len);
}

// Small compact regions with records, a tombstone, one record at both
// limits and, in one, a table left marked dirty; each seed is the region's
// bytes up to the end of the variable bytes in use.
inline std::vector<std::vector<uint8_t>> makeCompactSeeds() {
    std::vector<std::vector<uint8_t>> seeds;
    const struct {
        uint32_t dim;
        qarbin::Quantization q;
        qarbin::DistanceMetric metric;
        uint64_t cap;
        bool big;
        bool dirty;
    } shapes[] = {
        {8, qarbin::Quantization::None, qarbin::DistanceMetric::Cosine, 16, false, false},
        {8, qarbin::Quantization::Int8, qarbin::DistanceMetric::Euclidean, 16, true, false},
        {16, qarbin::Quantization::Binary, qarbin::DistanceMetric::Dot, 4, false, true},
    };
    for (const auto& sh : shapes) {
        qarbin::Shape shape;
        shape.dim = sh.dim;
        shape.quantization = sh.q;
        shape.metric = sh.metric;
        shape.capacity = sh.cap;
        qarbin::CompactLayout l;
        if (!qarbin::computeCompactLayout(sh.cap, sh.dim, sh.q, 0, &l)) continue;
        std::vector<uint8_t> region(l.regionBytes, 0);
        if (!qarbin::CompactRegion::init(region.data(), region.size(), shape, qarbin::NormOrder::Sequential)) continue;
        qarbin::CompactRegion r(region.data(), region.size());
        std::vector<uint8_t> row(r.rowBytes(), 0x3c);
        const uint64_t records = sh.cap < 8 ? sh.cap : 8;
        for (uint64_t i = 0; i < records; ++i) {
            const std::string key = sh.big && i == 0 ? std::string(qarbin::kCompactMaxKeyBytes, 'K') : "k" + std::to_string(i);
            const std::string meta = sh.big && i == 0 ? std::string(4096, 'M') : "meta-" + std::to_string(i);
            r.add(qarbin::keyHash(key.data(), key.size()), key.data(), static_cast<uint32_t>(key.size()), row.data(),
                  1.0f, meta.data(), static_cast<uint32_t>(meta.size()));
        }
        r.markDeleted(1);
        qarbin::CompactHeader* h = reinterpret_cast<qarbin::CompactHeader*>(region.data());
        if (sh.dirty) h->tail.keyTableDirty.store(1);
        region.resize(l.varOffset + h->tail.varUsed.load());
        seeds.push_back(region);
    }
    return seeds;
}

}  // namespace qarbin_fuzz
