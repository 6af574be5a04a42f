// A compiled metadata filter: conditions on the fields of a record's
// metadata read as a JSON object, evaluated without the PHP engine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/base.h"

namespace qarbin {

// A constant a condition compares with.
struct FilterValue {
    enum class Kind : uint8_t { Null, Bool, Int, Float, String };
    Kind kind = Kind::Null;
    bool b = false;
    int64_t i = 0;
    double d = 0.0;
    std::string s;
};

enum class FilterOp : uint8_t { And, Or, Eq, Ne, Gt, Gte, Lt, Lte, In, Nin, Exists };

// And/Or join children (an And without children holds for every record);
// every other operator tests the field at `path` (object keys, outermost
// first) against values: one constant, the list of In/Nin, or for Exists
// one Bool saying whether the field must be present.
struct FilterNode {
    FilterOp op = FilterOp::And;
    std::vector<std::string> path;
    std::vector<FilterValue> values;
    std::vector<FilterNode> children;
};

// Nesting of And/Or a filter may have, so evaluation stays shallow.
constexpr uint32_t kMaxFilterDepth = 32;

class Filter {
public:
    FilterNode root;  // an And of the top-level conditions

    // True when the filter has no condition: every record matches, also one
    // whose metadata is not a JSON object.
    bool empty() const { return root.op == FilterOp::And && root.children.empty(); }
    // meta: len bytes, or null. Metadata that is not a JSON object (not
    // JSON, invalid UTF-8, another type) matches only the empty filter.
    bool matches(const char* meta, uint32_t len) const;
    // The test the searches take; valid while the filter lives.
    MetadataTest test() const;
};

}  // namespace qarbin
