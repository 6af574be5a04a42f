// Moving records into the compact format and scanning it: a version-6 slot
// copied with its encoded vector as stored (so it scores exactly as
// before) and its norm taken once, and the exhaustive scan over packed
// rows that scores cosine with the stored norms.
#pragma once

#include "core/math/score.h"
#include "core/segment/compact_region.h"
#include "core/segment/top_k.h"

namespace qarbin {

// The norm the header's order asks for of an encoded row (0 when the
// segment keeps none). scratch: dim floats; codebook: PQ centroids or null.
float compactNorm(const CompactHeader& h, const uint8_t* code, const float* codebook, float* scratch);

// Appends record slot of src (a version-6 segment of the region's dimension
// and encoding) to dst. Full when dst is full or of another shape.
CompactAdd copySlotIntoCompact(CompactRegion& dst, const Segment& src, uint64_t slot);

// Offers every live record of the region to top, scored by scorer (made
// for the region's dimension and metric) as a version-6 scan scores the same
// records: bit for bit, in entry order. Cosine uses the stored norms when
// they were summed in the scorer's order. codebook: the PQ centroids, or
// null. False (nothing offered) when the region's encoding needs a codebook
// it was not given.
bool scanCompact(const CompactRegion& region, const QueryScorer& scorer, const float* codebook, TopK& top);

}  // namespace qarbin
