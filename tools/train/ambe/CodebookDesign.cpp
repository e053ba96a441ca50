#include "CodebookDesign.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace halvane::train {
namespace {

struct Assignment {
    std::vector<int> row;
    std::vector<double> error;
    double total = 0.0;
};

Assignment assign(const TrainingSet& set, const Codebook& book)
{
    const int dims = set.dims;
    const std::size_t rows = book.size() / dims;
    Assignment a;
    a.row.resize(set.size());
    a.error.resize(set.size());
    for (std::size_t i = 0; i < set.size(); ++i) {
        const float* v = &set.data[i * dims];
        const int cols = set.columns[i];
        double best = std::numeric_limits<double>::max();
        int bestRow = 0;
        for (std::size_t r = 0; r < rows; ++r) {
            const float* c = &book[r * dims];
            float e = 0.0f;
            for (int d = 0; d < cols; ++d)
                e += (v[d] - c[d]) * (v[d] - c[d]);
            if (e < best) {
                best = e;
                bestRow = static_cast<int>(r);
            }
        }
        a.row[i] = bestRow;
        a.error[i] = best * set.weights[i];
        a.total += a.error[i];
    }
    return a;
}

// Lloyd iterations until the error stops falling by more than one part in 10^4. A row that
// loses all its vectors takes over half of the worst cell.
void lloyd(const TrainingSet& set, Codebook& book, const std::vector<bool>& pinned)
{
    const int dims = set.dims;
    const std::size_t rows = book.size() / dims;
    double previous = std::numeric_limits<double>::max();
    for (int iteration = 0; iteration < 60; ++iteration) {
        const Assignment a = assign(set, book);
        std::vector<double> sum(book.size(), 0.0);
        std::vector<double> count(book.size(), 0.0);
        std::vector<double> cellError(rows, 0.0);
        std::vector<std::size_t> members(rows, 0);
        for (std::size_t i = 0; i < set.size(); ++i) {
            const std::size_t r = a.row[i];
            const double w = set.weights[i];
            ++members[r];
            cellError[r] += a.error[i];
            for (int d = 0; d < set.columns[i]; ++d) {
                sum[r * dims + d] += w * set.data[i * dims + d];
                count[r * dims + d] += w;
            }
        }
        for (std::size_t k = 0; k < book.size(); ++k)
            if (!pinned[k / dims] && count[k] > 0.0)
                book[k] = static_cast<float>(sum[k] / count[k]);
        for (std::size_t r = 0; r < rows; ++r) {
            if (pinned[r] || members[r] > 0)
                continue;
            const std::size_t worst =
                static_cast<std::size_t>(std::max_element(cellError.begin(), cellError.end()) - cellError.begin());
            for (int d = 0; d < dims; ++d)
                book[r * dims + d] = book[worst * dims + d] * 1.01f + 1e-3f;
            cellError[worst] /= 2.0;
        }
        if (previous - a.total <= 1e-4 * a.total)
            break;
        previous = a.total;
    }
}

} // namespace

void TrainingSet::add(const float* v, int count, float weight)
{
    for (int d = 0; d < dims; ++d)
        data.push_back(d < count ? v[d] : 0.0f);
    columns.push_back(static_cast<std::uint8_t>(count));
    weights.push_back(weight);
}

Codebook designCodebook(const TrainingSet& set, int rows, const std::vector<std::pair<int, std::vector<float>>>& fixed)
{
    const int dims = set.dims;
    // Start from the centroid and split every row in two along the spread of the data.
    std::vector<double> mean(dims, 0.0);
    std::vector<double> count(dims, 0.0);
    std::vector<double> square(dims, 0.0);
    for (std::size_t i = 0; i < set.size(); ++i)
        for (int d = 0; d < set.columns[i]; ++d) {
            const double x = set.data[i * dims + d];
            const double w = set.weights[i];
            mean[d] += w * x;
            square[d] += w * x * x;
            count[d] += w;
        }
    Codebook book(dims);
    std::vector<float> spread(dims);
    for (int d = 0; d < dims; ++d) {
        const double m = count[d] > 0.0 ? mean[d] / count[d] : 0.0;
        book[d] = static_cast<float>(m);
        spread[d] = static_cast<float>(count[d] > 0.0 ? std::sqrt(std::max(0.0, square[d] / count[d] - m * m)) : 0.0);
    }
    for (int size = 1; size < rows; size *= 2) {
        Codebook split(book.size() * 2);
        for (int r = 0; r < size; ++r)
            for (int d = 0; d < dims; ++d) {
                const float step = 0.01f * spread[d] * static_cast<float>((r + d) % 3 + 1);
                split[(2 * r) * dims + d] = book[r * dims + d] - step;
                split[(2 * r + 1) * dims + d] = book[r * dims + d] + step;
            }
        book = std::move(split);
        lloyd(set, book, std::vector<bool>(book.size() / dims, false));
    }

    // Make room for the fixed rows: the free rows with the fewest vectors give way, and the
    // remaining free rows keep their order around the fixed indexes.
    std::vector<bool> pinned(rows, false);
    if (!fixed.empty()) {
        const Assignment a = assign(set, book);
        std::vector<std::size_t> members(rows, 0);
        for (const int r : a.row)
            ++members[r];
        std::vector<int> order(rows);
        for (int r = 0; r < rows; ++r)
            order[r] = r;
        std::stable_sort(order.begin(), order.end(), [&](int x, int y) { return members[x] < members[y]; });
        std::vector<bool> dropped(rows, false);
        for (std::size_t k = 0; k < fixed.size(); ++k)
            dropped[order[k]] = true;
        Codebook kept;
        for (int r = 0; r < rows; ++r)
            if (!dropped[r])
                kept.insert(kept.end(), book.begin() + r * dims, book.begin() + (r + 1) * dims);
        Codebook placed(book.size());
        std::size_t next = 0;
        for (int r = 0; r < rows; ++r) {
            const auto given = std::find_if(fixed.begin(), fixed.end(), [r](const auto& f) { return f.first == r; });
            if (given != fixed.end()) {
                std::copy(given->second.begin(), given->second.end(), placed.begin() + r * dims);
                pinned[r] = true;
            } else {
                std::copy(kept.begin() + next * dims, kept.begin() + (next + 1) * dims, placed.begin() + r * dims);
                ++next;
            }
        }
        book = std::move(placed);
        lloyd(set, book, pinned);
    }
    return book;
}

double quantisationError(const TrainingSet& set, const Codebook& codebook)
{
    double weight = 0.0;
    for (const float w : set.weights)
        weight += w;
    return weight > 0.0 ? assign(set, codebook).total / weight : 0.0;
}

Codebook randomCodebook(const TrainingSet& set, int rows, std::uint32_t seed)
{
    // Drawn by weight, so the baseline sees the training data as the design does.
    std::vector<double> cumulative(set.size());
    double total = 0.0;
    for (std::size_t i = 0; i < set.size(); ++i)
        cumulative[i] = total += set.weights[i];
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> draw(0.0, total);
    Codebook book(static_cast<std::size_t>(rows) * set.dims);
    for (int r = 0; r < rows && set.size() > 0; ++r) {
        const std::size_t i = std::min<std::size_t>(
            static_cast<std::size_t>(std::upper_bound(cumulative.begin(), cumulative.end(), draw(rng)) - cumulative.begin()),
            set.size() - 1);
        std::copy(set.data.begin() + i * set.dims, set.data.begin() + (i + 1) * set.dims, book.begin() + r * set.dims);
    }
    return book;
}

} // namespace halvane::train
