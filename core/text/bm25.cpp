#include "core/text/bm25.h"

#include <cmath>

namespace qarbin {

double bm25Idf(uint64_t docCount, uint64_t docFreq) {
    double n = static_cast<double>(docCount);
    double hits = static_cast<double>(docFreq);
    double idf = std::log((n - hits + 0.5) / (hits + 0.5));
    return idf <= 0.0 ? kBm25IdfFloor : idf;
}

}  // namespace qarbin
