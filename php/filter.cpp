// The filter grammar: a PHP array of conditions compiled once per call into
// the plain structures the core evaluates.
//   ['lang' => 'en']                      equality (any element of an array field)
//   ['year' => ['$gte' => 2020, '$lt' => 2025]]
//   ['author.name' => 'Ann']              dotted path into nested objects
//   ['$or' => [[...], [...]], '$and' => [[...], ...]]
#include "php/filter.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "core/filter/filter.h"

using qarbin::FilterNode;
using qarbin::FilterOp;
using qarbin::FilterValue;

namespace {

struct Compiler {
    char* error;
    size_t cap;

    bool fail(const char* fmt, const std::string& a, const std::string& b = std::string()) {
        std::snprintf(error, cap, fmt, a.c_str(), b.c_str());
        return false;
    }
    bool conditions(HashTable* ht, uint32_t depth, FilterNode* into);
    bool list(zval* v, const std::string& op, uint32_t depth, FilterNode* into);
    bool field(const std::string& name, zval* v, FilterNode* into);
    bool fieldOperator(const std::string& name, const std::string& op, zval* v, FilterNode* into);
};

// Scalars only; false for arrays, objects and resources.
bool scalarValue(zval* v, FilterValue* out) {
    ZVAL_DEREF(v);
    switch (Z_TYPE_P(v)) {
        case IS_NULL: out->kind = FilterValue::Kind::Null; return true;
        case IS_FALSE:
        case IS_TRUE:
            out->kind = FilterValue::Kind::Bool;
            out->b = Z_TYPE_P(v) == IS_TRUE;
            return true;
        case IS_LONG:
            out->kind = FilterValue::Kind::Int;
            out->i = static_cast<int64_t>(Z_LVAL_P(v));
            return true;
        case IS_DOUBLE:
            out->kind = FilterValue::Kind::Float;
            out->d = Z_DVAL_P(v);
            return true;
        case IS_STRING:
            out->kind = FilterValue::Kind::String;
            out->s.assign(Z_STRVAL_P(v), Z_STRLEN_P(v));
            return true;
        default: return false;
    }
}

bool isList(HashTable* ht) { return zend_array_is_list(ht); }

bool splitPath(const std::string& name, std::vector<std::string>* path) {
    size_t from = 0;
    while (true) {
        const size_t dot = name.find('.', from);
        const std::string part = name.substr(from, dot == std::string::npos ? std::string::npos : dot - from);
        if (part.empty()) return false;
        path->push_back(part);
        if (dot == std::string::npos) return true;
        from = dot + 1;
    }
}

bool Compiler::conditions(HashTable* ht, uint32_t depth, FilterNode* into) {
    if (depth > qarbin::kMaxFilterDepth) return fail("Malformed filter: nested deeper than 32 levels%s%s", "");
    zend_string* key;
    zend_ulong index;
    zval* v;
    ZEND_HASH_FOREACH_KEY_VAL(ht, index, key, v) {
        if (key == nullptr)
            return fail("Malformed filter: condition %s has no field name", std::to_string(index));
        const std::string name(ZSTR_VAL(key), ZSTR_LEN(key));
        if (name == "$and" || name == "$or") {
            if (!list(v, name, depth, into)) return false;
        } else if (!name.empty() && name[0] == '$') {
            if (name == "$eq" || name == "$ne" || name == "$gt" || name == "$gte" || name == "$lt" || name == "$lte" ||
                name == "$in" || name == "$nin" || name == "$exists")
                return fail("Malformed filter: operator '%s' needs a field name before it%s", name);
            return fail("Unknown filter operator '%s'%s", name);
        } else if (!field(name, v, into)) {
            return false;
        }
    }
    ZEND_HASH_FOREACH_END();
    return true;
}

bool Compiler::list(zval* v, const std::string& op, uint32_t depth, FilterNode* into) {
    ZVAL_DEREF(v);
    if (Z_TYPE_P(v) != IS_ARRAY || zend_hash_num_elements(Z_ARRVAL_P(v)) == 0 || !isList(Z_ARRVAL_P(v)))
        return fail("Malformed filter: '%s' takes a non-empty list of filters%s", op);
    FilterNode joined;
    joined.op = op == "$and" ? FilterOp::And : FilterOp::Or;
    zval* item;
    ZEND_HASH_FOREACH_VAL(Z_ARRVAL_P(v), item) {
        ZVAL_DEREF(item);
        if (Z_TYPE_P(item) != IS_ARRAY) return fail("Malformed filter: '%s' takes a non-empty list of filters%s", op);
        FilterNode part;
        if (!conditions(Z_ARRVAL_P(item), depth + 1, &part)) return false;
        joined.children.push_back(std::move(part));
    }
    ZEND_HASH_FOREACH_END();
    into->children.push_back(std::move(joined));
    return true;
}

bool Compiler::field(const std::string& name, zval* v, FilterNode* into) {
    std::vector<std::string> path;
    if (!splitPath(name, &path)) return fail("Malformed filter: field name '%s' has an empty part%s", name);
    ZVAL_DEREF(v);
    if (Z_TYPE_P(v) != IS_ARRAY) {
        FilterNode eq;
        eq.op = FilterOp::Eq;
        eq.path = path;
        eq.values.resize(1);
        if (!scalarValue(v, &eq.values[0]))
            return fail("Malformed filter: field '%s' takes a scalar or an array of operators%s", name);
        into->children.push_back(std::move(eq));
        return true;
    }
    HashTable* ops = Z_ARRVAL_P(v);
    if (zend_hash_num_elements(ops) == 0) return fail("Malformed filter: field '%s' has an empty condition%s", name);
    zend_string* key;
    zval* arg;
    ZEND_HASH_FOREACH_STR_KEY_VAL(ops, key, arg) {
        if (key == nullptr || ZSTR_LEN(key) == 0 || ZSTR_VAL(key)[0] != '$')
            return fail("Malformed filter: field '%s' takes a scalar or an array of operators%s", name);
        if (!fieldOperator(name, std::string(ZSTR_VAL(key), ZSTR_LEN(key)), arg, into)) return false;
        into->children.back().path = path;
    }
    ZEND_HASH_FOREACH_END();
    return true;
}

bool Compiler::fieldOperator(const std::string& name, const std::string& op, zval* v, FilterNode* into) {
    static const struct {
        const char* word;
        FilterOp op;
    } kOps[] = {{"$eq", FilterOp::Eq},   {"$ne", FilterOp::Ne}, {"$gt", FilterOp::Gt},   {"$gte", FilterOp::Gte},
                {"$lt", FilterOp::Lt},   {"$lte", FilterOp::Lte}, {"$in", FilterOp::In}, {"$nin", FilterOp::Nin},
                {"$exists", FilterOp::Exists}};
    FilterNode n;
    bool known = false;
    for (const auto& o : kOps)
        if (op == o.word) {
            n.op = o.op;
            known = true;
        }
    if (!known) return fail("Unknown filter operator '%s' on field '%s'", op, name);
    ZVAL_DEREF(v);
    if (n.op == FilterOp::Exists) {
        if (Z_TYPE_P(v) != IS_TRUE && Z_TYPE_P(v) != IS_FALSE)
            return fail("Malformed filter: '%s' on field '%s' takes true or false", op, name);
        n.values.resize(1);
        scalarValue(v, &n.values[0]);
    } else if (n.op == FilterOp::In || n.op == FilterOp::Nin) {
        if (Z_TYPE_P(v) != IS_ARRAY || !isList(Z_ARRVAL_P(v)))
            return fail("Malformed filter: '%s' on field '%s' takes a list of scalars", op, name);
        zval* item;
        ZEND_HASH_FOREACH_VAL(Z_ARRVAL_P(v), item) {
            FilterValue fv;
            if (!scalarValue(item, &fv)) return fail("Malformed filter: '%s' on field '%s' takes a list of scalars", op, name);
            n.values.push_back(std::move(fv));
        }
        ZEND_HASH_FOREACH_END();
    } else {
        n.values.resize(1);
        if (!scalarValue(v, &n.values[0])) return fail("Malformed filter: '%s' on field '%s' takes a scalar", op, name);
        const FilterValue::Kind k = n.values[0].kind;
        const bool ordered = n.op == FilterOp::Gt || n.op == FilterOp::Gte || n.op == FilterOp::Lt || n.op == FilterOp::Lte;
        if (ordered && k != FilterValue::Kind::Int && k != FilterValue::Kind::Float && k != FilterValue::Kind::String)
            return fail("Malformed filter: '%s' on field '%s' takes a number or a string", op, name);
    }
    into->children.push_back(std::move(n));
    return true;
}

}  // namespace

qarbin::Filter* qarbin_compile_filter(HashTable* filter, char* error, size_t errorCap) {
    qarbin::Filter* f = nullptr;
    try {
        f = new qarbin::Filter;
        Compiler c{error, errorCap};
        if (c.conditions(filter, 1, &f->root)) return f;
    } catch (...) {  // std::bad_alloc above all; nothing may reach the engine
        std::snprintf(error, errorCap, "Out of memory compiling the filter");
    }
    delete f;
    return nullptr;
}

void qarbin_free_filter(qarbin::Filter* filter) { delete filter; }

bool qarbin_filter_arg(HashTable* filterArg, qarbin::Filter** out) {
    *out = nullptr;
    if (filterArg == nullptr) return true;
    char error[kQarbinFilterErrorBytes];
    *out = qarbin_compile_filter(filterArg, error, sizeof error);
    if (*out != nullptr) return true;
    qarbin_throw(error);
    return false;
}
