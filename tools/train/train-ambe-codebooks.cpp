// Trains the PRBA and HOC codebooks of the software AMBE+2 and D-STAR codec and writes them
// as C++ source:
//
//   train-ambe-codebooks OUTPUT.cpp --train [--weight W] FILE... --held-out [--weight W] FILE...
//
// FILEs are raw 8 kHz 16-bit little-endian mono speech; the frames of the files after
// --weight W count W times (1 by default), so scarce recorded speech can outweigh plentiful
// synthetic speech, in the design and in the held-out measure alike. Every file is analysed by the IMBE speech analysis from a fresh state
// (AMBE+2 after the encoder's x3 input scaling, D-STAR without). Then each variant is
// trained in closed loop, starting from codebooks that hold only the rows fixed by the
// frame format: the frames are quantised in order with the codebooks of the previous pass,
// so each frame is predicted from what a decoder reconstructs, the search targets of every
// frame are collected, and every codebook is designed anew from them (splitting and Lloyd
// iterations on the quantiser's own criterion, the fixed rows kept at their indexes). The
// held-out files only measure: their quantisation error with the trained codebooks and with
// codebooks of random training vectors is printed and written into the output's header.
// Deterministic: the same speech gives the same tables, whatever tables are built in.

#include "CodebookDesign.h"
#include "ambe/AmbeCodebooks.h"
#include "ambe/AmbeQuantizer.h"
#include "ambe/ambe_encoder.h"
#include "ambe/ambe_vocoder.h"
#include "ambe/mbe_parameters.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace halvane;
using halvane::train::Codebook;
using halvane::train::TrainingSet;

namespace {

constexpr int passes = 4;
constexpr std::uint32_t randomSeed = 20261206;

struct FrameAnalysis {
    int ref_pitch;
    int num_harms;
    std::array<std::int16_t, 56> v_uv_dsn;
    std::array<std::int16_t, 56> sa;
    float weight; // how much the frame counts in the design
};

struct Speech {
    float weight = 1.0f;
    std::vector<FrameAnalysis> frames;
};

struct SpeechFile {
    std::string path;
    float weight;
};

bool analyse(const std::string& path, bool dstar, Speech& speech)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ambe_encoder analyser;
    for (std::size_t at = 0; at + 320 <= bytes.size(); at += 320) {
        std::array<std::int16_t, 160> block{};
        std::memcpy(block.data(), bytes.data() + at, 320);
        if (!dstar)
            ambe_vocoder::scale_input(block);
        const AmbeAnalysis a = analyser.analyse(block);
        FrameAnalysis f{a.ref_pitch, a.num_harms, {}, {}, 1.0f};
        std::copy(a.v_uv_dsn.begin(), a.v_uv_dsn.end(), f.v_uv_dsn.begin());
        std::copy(a.sa.begin(), a.sa.end(), f.sa.begin());
        speech.frames.push_back(f);
    }
    // Pauses and breath noise matter little to a listener: frames more than 40 dB below the
    // loudest of their file count a twentieth, so the rows go to speech.
    std::vector<double> energy;
    for (const FrameAnalysis& f : speech.frames) {
        double e = 1.0;
        for (int l = 0; l < f.num_harms && l < 56; ++l)
            e += static_cast<double>(f.sa[l]) * f.sa[l];
        energy.push_back(e);
    }
    const double loudest = energy.empty() ? 1.0 : *std::max_element(energy.begin(), energy.end());
    for (std::size_t i = 0; i < energy.size(); ++i)
        speech.frames[i].weight = speech.weight * (energy[i] * 1e4 >= loudest ? 1.0f : 0.05f);
    return true;
}

// The variant's codebooks as flat row-major tables, in the order prba24, prba58, hoc b5..b8.
struct Books {
    std::array<Codebook, 6> table;
    std::vector<AmbeRow3> prba24;
    std::array<std::vector<AmbeRow4>, 5> rows4;

    AmbeCodebooks view()
    {
        prba24.assign(table[0].size() / 3, {});
        std::memcpy(prba24.data(), table[0].data(), table[0].size() * sizeof(float));
        for (int t = 0; t < 5; ++t) {
            rows4[t].assign(table[t + 1].size() / 4, {});
            std::memcpy(rows4[t].data(), table[t + 1].data(), table[t + 1].size() * sizeof(float));
        }
        return {prba24, rows4[0], {rows4[1], rows4[2], rows4[3], rows4[4]}};
    }
};

// Search targets of every frame, quantised in closed loop with `books`.
std::array<TrainingSet, 6> collect(const std::vector<Speech>& speech, bool dstar, Books& books)
{
    std::array<TrainingSet, 6> sets;
    sets[0].dims = 3;
    for (int t = 1; t < 6; ++t)
        sets[t].dims = 4;
    const AmbeCodebooks view = books.view();
    for (const Speech& s : speech) {
        mbe_parameters cur{};
        mbe_parameters prev{};
        mbe_parameters scratch{};
        mbe_initMbeParms(&cur, &prev, &scratch);
        for (const FrameAnalysis& f : s.frames) {
            const AmbeAnalysis a{f.ref_pitch, f.num_harms, f.v_uv_dsn, f.sa};
            std::array<std::int32_t, 9> b{};
            AmbeTargets targets;
            if (!encodeAmbe(a, b, cur, prev, dstar, 0.0f, view, &targets))
                continue;
            sets[0].add(targets.prba.data(), 3, f.weight);
            sets[1].add(targets.prba.data() + 3, 4, f.weight);
            for (int i = 0; i < 4; ++i)
                if (targets.hocColumns[i] > 0)
                    sets[2 + i].add(targets.hoc[i].data(), targets.hocColumns[i], f.weight);
        }
    }
    return sets;
}

struct BookShape {
    const char* name;
    int rows;
    int tableRows; // rows stored: beyond `rows` they are unreachable, and zero
    std::vector<std::pair<int, std::vector<float>>> fixed;
};

std::array<BookShape, 6> shapes(bool dstar)
{
    if (dstar)
        return {{{"AmbePlusPRBA24", 512, 512, {{0, {-1.25f, -0.3125f, -0.625f}}}},
                 {"AmbePlusPRBA58", 128, 128, {}},
                 {"AmbePlusHOCb5", 16, 16, {}},
                 {"AmbePlusHOCb6", 16, 16, {}},
                 {"AmbePlusHOCb7", 16, 16, {}},
                 {"AmbePlusHOCb8", 8, 16, {}}}};
    return {{{"AmbePRBA24",
              512,
              512,
              {{0, {0.526055f, -0.328567f, -0.304727f}}, {511, {-0.410922f, 0.562454f, 0.543891f}}}},
             {"AmbePRBA58", 128, 128, {{0, {-0.10366f, 0.094597f, -0.013149f, 0.081501f}}}},
             {"AmbeHOCb5", 32, 32, {{0, {0.264108f, 0.045976f, -0.200999f, -0.122344f}}}},
             {"AmbeHOCb6", 16, 16, {}},
             {"AmbeHOCb7", 16, 16, {}},
             {"AmbeHOCb8", 8, 8, {}}}};
}

// Codebooks holding only the fixed rows, the rest zero.
Books initialBooks(const std::array<BookShape, 6>& shape)
{
    Books books;
    for (int t = 0; t < 6; ++t) {
        const int dims = t == 0 ? 3 : 4;
        books.table[t].assign(static_cast<std::size_t>(shape[t].rows) * dims, 0.0f);
        for (const auto& [row, values] : shape[t].fixed)
            std::copy(values.begin(), values.end(), books.table[t].begin() + row * dims);
    }
    return books;
}

struct Trained {
    Books books;
    std::string report;
};

bool analyseAll(const std::vector<SpeechFile>& files, bool dstar, std::vector<Speech>& speech)
{
    for (const auto& f : files) {
        speech.emplace_back();
        speech.back().weight = f.weight;
        if (!analyse(f.path, dstar, speech.back()))
            return false;
    }
    return true;
}

bool trainVariant(const std::vector<SpeechFile>& trainFiles, const std::vector<SpeechFile>& heldFiles, bool dstar,
                  Trained& trained)
{
    std::vector<Speech> training;
    std::vector<Speech> held;
    if (!analyseAll(trainFiles, dstar, training) || !analyseAll(heldFiles, dstar, held))
        return false;
    const auto shape = shapes(dstar);
    Books books = initialBooks(shape);
    std::array<TrainingSet, 6> sets;
    for (int pass = 0; pass < passes; ++pass) {
        sets = collect(training, dstar, books);
        for (int t = 0; t < 6; ++t) {
            books.table[t] = train::designCodebook(sets[t], shape[t].rows, shape[t].fixed);
            std::fprintf(stderr, "%s pass %d: %s %zu vectors, error %.5f\n", dstar ? "D-STAR" : "AMBE+2", pass + 1,
                         shape[t].name, sets[t].size(), train::quantisationError(sets[t], books.table[t]));
        }
    }

    const auto heldSets = collect(held, dstar, books);
    char line[200];
    std::string report;
    for (int t = 0; t < 6; ++t) {
        const Codebook random = train::randomCodebook(sets[t], shape[t].rows, randomSeed + t);
        std::snprintf(line, sizeof line, "//   %-15s training %.5f  held-out %.5f  random rows on held-out %.5f\n",
                      shape[t].name, train::quantisationError(sets[t], books.table[t]),
                      train::quantisationError(heldSets[t], books.table[t]),
                      train::quantisationError(heldSets[t], random));
        report += line;
    }
    std::fputs(report.c_str(), stderr);
    trained = {books, report};
    return true;
}

void writeTable(std::FILE* out, const BookShape& shape, const Codebook& table, int dims)
{
    std::fprintf(out, "const std::array<AmbeRow%d, %d> %s{{\n", dims, shape.tableRows, shape.name);
    for (int r = 0; r < shape.tableRows; ++r) {
        std::fputs("    {", out);
        for (int d = 0; d < dims; ++d) {
            const float v = r < shape.rows ? table[r * dims + d] : 0.0f;
            char number[32];
            std::snprintf(number, sizeof number, "%.9g", static_cast<double>(v));
            const bool integral = std::strpbrk(number, ".e") == nullptr;
            std::fprintf(out, "%s%s%sf", d ? ", " : "", number, integral ? ".0" : "");
        }
        std::fputs("},\n", out);
    }
    std::fputs("}};\n\n", out);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: train-ambe-codebooks OUTPUT.cpp --train [--weight W] FILE... --held-out [--weight W] FILE...\n");
        return 2;
    }
    std::vector<SpeechFile> trainFiles;
    std::vector<SpeechFile> heldFiles;
    std::vector<SpeechFile>* list = nullptr;
    float weight = 1.0f;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--train") == 0)
            list = &trainFiles;
        else if (std::strcmp(argv[i], "--held-out") == 0)
            list = &heldFiles;
        else if (std::strcmp(argv[i], "--weight") == 0 && i + 1 < argc && std::atof(argv[i + 1]) > 0.0)
            weight = static_cast<float>(std::atof(argv[++i]));
        else if (list)
            list->push_back({argv[i], weight});
        else {
            std::fprintf(stderr, "train-ambe-codebooks: %s: expected --train or --held-out first\n", argv[i]);
            return 2;
        }
    }
    if (trainFiles.empty()) {
        std::fprintf(stderr, "train-ambe-codebooks: no training files\n");
        return 2;
    }

    Trained ambe2;
    Trained plus;
    if (!trainVariant(trainFiles, heldFiles, false, ambe2) || !trainVariant(trainFiles, heldFiles, true, plus))
        return 1;

    std::FILE* out = std::fopen(argv[1], "w");
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    std::fputs("// Generated by tools/train/train-ambe-codebooks (make tables-ambe); do not edit.\n"
               "// Halvane's own PRBA and HOC codebooks, trained in closed loop on the IMBE analysis of\n"
               "// speech with splitting and Lloyd iterations; the rows fixed by the frame format keep\n"
               "// their indexes.\n//\n// Training speech (file, weight):\n",
               out);
    for (const auto& f : trainFiles)
        std::fprintf(out, "//   %s %g\n", f.path.substr(f.path.find_last_of('/') + 1).c_str(),
                     static_cast<double>(f.weight));
    std::fputs("// Held out (file, weight):\n", out);
    for (const auto& f : heldFiles)
        std::fprintf(out, "//   %s %g\n", f.path.substr(f.path.find_last_of('/') + 1).c_str(),
                     static_cast<double>(f.weight));
    std::fputs("// Weighted mean squared error per vector:\n", out);
    std::fputs(ambe2.report.c_str(), out);
    std::fputs(plus.report.c_str(), out);
    std::fputs("\n#include \"ambe/AmbeCodebooks.h\"\n\nnamespace halvane {\n\n", out);
    for (const bool dstar : {false, true}) {
        const auto shape = shapes(dstar);
        const Books& books = dstar ? plus.books : ambe2.books;
        for (int t = 0; t < 6; ++t)
            writeTable(out, shape[t], books.table[t], t == 0 ? 3 : 4);
    }
    std::fputs("} // namespace halvane\n", out);
    return std::fclose(out) == 0 ? 0 : 1;
}
