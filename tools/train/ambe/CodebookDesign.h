#pragma once
// Vector codebook design for the AMBE quantiser's training program: a generalised Lloyd
// algorithm started by splitting, on vectors whose trailing dimensions may be missing (a
// short block has fewer higher-order coefficients), for the criterion the quantiser
// searches with: squared error over the dimensions a vector has. Rows given in advance
// stay fixed at their indexes. Deterministic for the same input.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace halvane::train {

// Training vectors of `dims` dimensions, stored row after row; columns[i] is the number of
// leading dimensions vector i has (1..dims), weights[i] how much its error counts.
struct TrainingSet {
    int dims = 0;
    std::vector<float> data;
    std::vector<std::uint8_t> columns;
    std::vector<float> weights;

    std::size_t size() const { return columns.size(); }
    void add(const float* v, int count, float weight);
};

// A codebook of rows x dims, row after row.
using Codebook = std::vector<float>;

// Designs a codebook of `rows` rows (a power of two) whose rows fixed[i].first hold
// fixed[i].second.
Codebook designCodebook(const TrainingSet& set, int rows, const std::vector<std::pair<int, std::vector<float>>>& fixed);

// Weighted mean squared error per vector of quantising `set` with `codebook` (nearest row).
double quantisationError(const TrainingSet& set, const Codebook& codebook);

// A codebook of `rows` training vectors drawn at random by weight (missing dimensions
// zero): the baseline a designed codebook must beat.
Codebook randomCodebook(const TrainingSet& set, int rows, std::uint32_t seed);

} // namespace halvane::train
