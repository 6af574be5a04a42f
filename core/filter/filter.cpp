// Evaluation of a compiled filter against one record's metadata, parsed by
// simdjson's DOM parser (one per thread, reused, so a query allocates only
// on its first record).
#include "core/filter/filter.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include <simdjson.h>

namespace qarbin {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

// -1, 0 or 1 as x is below, equal to or above the number v; 2 when they do
// not compare (x not a number). Integers compare exactly, others as doubles.
int compareNumber(element x, const FilterValue& v) {
    const double vd = v.kind == FilterValue::Kind::Int ? static_cast<double>(v.i) : v.d;
    switch (x.type()) {
        case element_type::INT64: {
            const int64_t xi = x.get_int64().value_unsafe();
            if (v.kind == FilterValue::Kind::Int) return xi < v.i ? -1 : (xi > v.i ? 1 : 0);
            const double xd = static_cast<double>(xi);
            return xd < vd ? -1 : (xd > vd ? 1 : (xd == vd ? 0 : 2));
        }
        case element_type::UINT64: {
            // Only values above the largest int64 come as UINT64.
            if (v.kind == FilterValue::Kind::Int) return 1;
            const double xd = static_cast<double>(x.get_uint64().value_unsafe());
            return xd < vd ? -1 : (xd > vd ? 1 : (xd == vd ? 0 : 2));
        }
        case element_type::DOUBLE: {
            const double xd = x.get_double().value_unsafe();
            return xd < vd ? -1 : (xd > vd ? 1 : (xd == vd ? 0 : 2));
        }
        default: return 2;
    }
}

// Byte order, shorter prefix first; 2 when x is not a string.
int compareString(element x, const FilterValue& v) {
    if (x.type() != element_type::STRING) return 2;
    const std::string_view xs = x.get_string().value_unsafe();
    const int c = xs.compare(std::string_view(v.s));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int compareValue(element x, const FilterValue& v) {
    switch (v.kind) {
        case FilterValue::Kind::Int:
        case FilterValue::Kind::Float: return compareNumber(x, v);
        case FilterValue::Kind::String: return compareString(x, v);
        default: return 2;
    }
}

bool equalValue(element x, const FilterValue& v) {
    switch (v.kind) {
        case FilterValue::Kind::Null: return x.type() == element_type::NULL_VALUE;
        case FilterValue::Kind::Bool:
            return x.type() == element_type::BOOL && x.get_bool().value_unsafe() == v.b;
        default: return compareValue(x, v) == 0;
    }
}

// The condition on one scalar value (an array field's element, or the field).
bool holdsFor(const FilterNode& n, element x) {
    switch (n.op) {
        case FilterOp::Eq:
        case FilterOp::Ne: return equalValue(x, n.values[0]);
        case FilterOp::In:
        case FilterOp::Nin:
            for (const FilterValue& v : n.values)
                if (equalValue(x, v)) return true;
            return false;
        case FilterOp::Gt: return compareValue(x, n.values[0]) == 1;
        case FilterOp::Gte: {
            const int c = compareValue(x, n.values[0]);
            return c == 1 || c == 0;
        }
        case FilterOp::Lt: return compareValue(x, n.values[0]) == -1;
        case FilterOp::Lte: {
            const int c = compareValue(x, n.values[0]);
            return c == -1 || c == 0;
        }
        default: return false;
    }
}

// An array field holds when any element does.
bool holdsForField(const FilterNode& n, element x) {
    if (x.type() != element_type::ARRAY) return holdsFor(n, x);
    simdjson::dom::array items;
    if (x.get_array().get(items) != simdjson::SUCCESS) return false;
    for (element e : items)
        if (holdsFor(n, e)) return true;
    return false;
}

bool findField(element obj, const std::vector<std::string>& path, element* out) {
    element at = obj;
    for (const std::string& part : path) {
        if (at.type() != element_type::OBJECT) return false;
        if (at.get_object().value_unsafe().at_key(part).get(at) != simdjson::SUCCESS) return false;
    }
    *out = at;
    return true;
}

bool evaluate(const FilterNode& n, element obj) {
    switch (n.op) {
        case FilterOp::And:
            for (const FilterNode& c : n.children)
                if (!evaluate(c, obj)) return false;
            return true;
        case FilterOp::Or:
            for (const FilterNode& c : n.children)
                if (evaluate(c, obj)) return true;
            return false;
        default: break;
    }
    element field;
    const bool present = findField(obj, n.path, &field);
    switch (n.op) {
        case FilterOp::Exists: return present == n.values[0].b;
        // Negations also hold for a record without the field.
        case FilterOp::Ne:
        case FilterOp::Nin: return !present || !holdsForField(n, field);
        default: return present && holdsForField(n, field);
    }
}

bool testMetadata(const void* ctx, const char* meta, uint32_t len) {
    return static_cast<const Filter*>(ctx)->matches(meta, len);
}

}  // namespace

bool Filter::matches(const char* meta, uint32_t len) const {
    if (empty()) return true;
    if (meta == nullptr || len == 0 || len > kLongestMetadataBytes) return false;
    thread_local simdjson::dom::parser parser;
    // The parser reads a little past the end: the bytes are copied into a
    // padded buffer of this thread's, grown to the longest metadata seen
    // (its own copy would allocate each time).
    thread_local std::vector<char> padded;
    const size_t need = size_t{len} + simdjson::SIMDJSON_PADDING;
    if (padded.size() < need) {
        try {
            padded.resize(std::max<size_t>(need, 4096 + simdjson::SIMDJSON_PADDING));
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    std::memcpy(padded.data(), meta, len);
    std::memset(padded.data() + len, 0, simdjson::SIMDJSON_PADDING);
    element doc;
    if (parser.parse(padded.data(), len, false).get(doc) != simdjson::SUCCESS) return false;
    if (doc.type() != element_type::OBJECT) return false;
    return evaluate(root, doc);
}

MetadataTest Filter::test() const {
    MetadataTest t;
    if (!empty()) {
        t.test = testMetadata;
        t.ctx = this;
    }
    return t;
}

}  // namespace qarbin
