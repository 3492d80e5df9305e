// The Python module: argument conversion and registration of every operation. Compiled once
// per build: ORVANE_MODULE_NAME names the module; ORVANE_CPU_BUILD marks the CPU twin and
// ORVANE_VECTORISED_BUILD the vectorised CPU module, whose operations release the GIL.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "bindings/docstrings.h"
#include "bindings/strict_integers.h"

namespace py = pybind11;
using orvane::bindings::strict;

#ifdef ORVANE_VECTORISED_BUILD
#include "vectorised/operations.h"
namespace ops = orvane::vectorised;
using CallGuard = py::call_guard<py::gil_scoped_release>;
#else
#include "kernels/convert_matrix.h"
#include "kernels/features.h"
#include "kernels/manhattan_distance.h"
#include "kernels/manhattan_distance_gradient.h"
#include "kernels/softdtw_backward.h"
#include "kernels/softdtw_forward.h"
#include "kernels/softdtw_gradients.h"
#include "kernels/softdtw_passes.h"
#include "kernels/softdtw_scores.h"
namespace ops = orvane;
// The CUDA module and the twin keep the GIL for the whole call, device wait included.
struct KeepGil {};
using CallGuard = py::call_guard<KeepGil>;
#endif

// Symbols that only CPython 3.13 exports are referenced weakly, so that another interpreter
// can load the file far enough for the entry point's version check to refuse it with its own
// message instead of failing in the dynamic loader.
#pragma weak PyDict_GetItemStringRef
#pragma weak PyObject_ClearManagedDict
#pragma weak PyObject_VisitManagedDict
#pragma weak PyThreadState_GetUnchecked

#if defined(ORVANE_VECTORISED_BUILD)
constexpr const char* kModuleDoc = "Orvane vectorised CPU implementation";
#elif defined(ORVANE_CPU_BUILD)
constexpr const char* kModuleDoc = "Orvane CUDA implementation (CPU build)";
#else
constexpr const char* kModuleDoc = "Orvane CUDA implementation";
#endif

PYBIND11_MODULE(ORVANE_MODULE_NAME, m, py::multiple_interpreters::not_supported()) {
    namespace docs = orvane::docs;
    m.doc() = kModuleDoc;

    // Registers an operation now and its float64 and (for the passes) mixed versions after the
    // eleven: the same arguments, on float64 buffers, or with float64 score matrices and scores.
    std::vector<std::function<void()>> other_versions;
    const auto define_version = [&](const char* name, const char* suffix, auto operation,
                                    const char* what, auto... arguments) {
        if constexpr (!std::is_null_pointer_v<decltype(operation)>) {
            other_versions.emplace_back([&m, name, suffix, operation, what, arguments...] {
                const std::string version = std::string(name) + suffix;
                const std::string doc = "The " + std::string(suffix + 1) + " version of " +
                                        std::string(name) + ": the same arguments and checks, " +
                                        what;
                m.def(version.c_str(), strict(operation), arguments..., CallGuard(), doc.c_str());
            });
        }
    };
    const auto define = [&](const char* name, auto operation, auto float64_operation,
                            auto mixed_operation, const char* summary, const std::string& doc,
                            auto... arguments) {
        m.def(name, strict(operation), summary, arguments..., CallGuard(), doc.c_str());
        define_version(name, "_float64", float64_operation,
                       "on float64 buffers, with float64 arithmetic throughout.", arguments...);
        define_version(name, "_mixed", mixed_operation,
                       "with float64 score matrices (score_matrix_ptr) and scores (scores_ptr); "
                       "every difference of scores is formed in float64 and rounded to float32, "
                       "everything else is float32 as in the float32 function.",
                       arguments...);
    };

    define("calc_manhattan_distance", &ops::calc_manhattan_distance,
           &ops::calc_manhattan_distance_float64, nullptr,
           "Calculate Manhattan distance using anti-diagonal matrix layout",
           docs::calc_manhattan_distance, py::arg("input_signal_ptr"),
           py::arg("input_signal_lengths"), py::arg("ref_signal_ptr"), py::arg("ref_signal_length"),
           py::arg("distance_matrix_ptr"));

    define("calc_manhattan_distance_gradient", &ops::calc_manhattan_distance_gradient,
           &ops::calc_manhattan_distance_gradient_float64, nullptr,
           "Calculate Manhattan distance gradient using anti-diagonal matrix layout",
           docs::calc_manhattan_distance_gradient, py::arg("input_signal_ptr"),
           py::arg("input_signal_lengths"), py::arg("ref_signal_ptr"), py::arg("ref_signal_length"),
           py::arg("gradient_matrix_ptr"), py::arg("input_gradients_ptr"),
           py::arg("ref_gradients_ptr"));

    define("calc_softdtw_forward", &ops::calc_softdtw_forward, &ops::calc_softdtw_forward_float64,
           &ops::calc_softdtw_forward_mixed, "Calculate SoftDTW forward pass",
           docs::calc_softdtw_forward, py::arg("input_signal_lengths"),
           py::arg("ref_signal_length"), py::arg("distance_matrix_ptr"),
           py::arg("score_matrix_ptr"), py::arg("scores_ptr"), py::arg("gamma"),
           py::arg("alpha_ptr") = 0, py::arg("local_end") = false, py::arg("last_row_only") = false,
           py::arg("ref_gap_penalty") = 0.0);

    define("calc_softdtw_backward", &ops::calc_softdtw_backward,
           &ops::calc_softdtw_backward_float64, &ops::calc_softdtw_backward_mixed,
           "Calculate SoftDTW backward pass", docs::calc_softdtw_backward,
           py::arg("input_signal_lengths"), py::arg("ref_signal_length"),
           py::arg("distance_matrix_ptr"), py::arg("score_matrix_ptr"),
           py::arg("gradient_matrix_prt"), py::arg("gamma"), py::arg("alpha_ptr") = 0,
           py::arg("local_end") = false, py::arg("scores_ptr") = 0,
           py::arg("last_row_only") = false, py::arg("ref_gap_penalty") = 0.0);

    define("normalize_matrix", &ops::normalize_matrix, &ops::normalize_matrix_float64, nullptr,
           "Normalize gradient matrix by dividing each element by sum of gradients per reference "
           "position",
           docs::normalize_matrix, py::arg("input_signal_lengths"), py::arg("ref_signal_length"),
           py::arg("gradient_matrix_ptr"), py::arg("ref_total_grads_ptr"));

    define("calc_weighted_means", &ops::calc_weighted_means, &ops::calc_weighted_means_float64,
           nullptr,
           "Calculate weighted means of input signals using normalized gradient matrix as weights",
           docs::calc_weighted_means, py::arg("input_signal_ptr"), py::arg("input_signal_lengths"),
           py::arg("ref_signal_length"), py::arg("gradient_matrix_ptr"),
           py::arg("weighted_means_ptr"));

    define("calc_weighted_std", &ops::calc_weighted_std, &ops::calc_weighted_std_float64, nullptr,
           "Calculate weighted standard deviation (log scale) of input signals",
           docs::calc_weighted_std, py::arg("input_signal_ptr"), py::arg("input_signal_lengths"),
           py::arg("ref_signal_length"), py::arg("gradient_matrix_ptr"),
           py::arg("weighted_means_ptr"), py::arg("weighted_std_log_ptr"));

    define("calc_weighted_index_std", &ops::calc_weighted_index_std,
           &ops::calc_weighted_index_std_float64, nullptr,
           "Calculate weighted standard deviation (log scale) of index positions",
           docs::calc_weighted_index_std, py::arg("input_signal_lengths"),
           py::arg("ref_signal_length"), py::arg("gradient_matrix_ptr"),
           py::arg("weighted_index_std_log_ptr"));

    const auto conversion_arguments =
        std::tuple{py::arg("input_signal_lengths"), py::arg("ref_signal_length"),
                   py::arg("input_matrix_ptr"), py::arg("output_matrix_ptr")};
    const auto define_conversion = [&](const char* name, auto operation, auto float64_operation,
                                       const char* summary, const std::string& doc) {
        std::apply(
            [&](auto... arguments) {
                define(name, operation, float64_operation, nullptr, summary, doc, arguments...);
            },
            conversion_arguments);
    };
    define_conversion("convert_antidiag_to_square", &ops::convert_antidiag_to_square,
                      &ops::convert_antidiag_to_square_float64,
                      "Convert anti-diagonal matrix format to standard row-major format",
                      docs::convert_antidiag_to_square);
    define_conversion("convert_square_to_antidiag", &ops::convert_square_to_antidiag,
                      &ops::convert_square_to_antidiag_float64,
                      "Convert standard row-major matrix format to anti-diagonal format",
                      docs::convert_square_to_antidiag);
    define_conversion("extract_last_row_antidiag", &ops::extract_last_row_antidiag, nullptr,
                      "Extract the last row of each signal's matrix from anti-diagonal layout",
                      docs::extract_last_row_antidiag);

    // The passes of pairs: on the GPU and the twin also those of references of any length.
    using PairForwardOperation = decltype(&ops::calc_softdtw_pair_forward);
    for (const auto& [name, operation, types] :
         {std::tuple<const char*, PairForwardOperation, const char*>{
              "calc_softdtw_pair_forward", &ops::calc_softdtw_pair_forward,
              "float32 buffers, the steps of calc_softdtw_forward"},
          {"calc_softdtw_pair_forward_mixed", &ops::calc_softdtw_pair_forward_mixed,
           "float32 distances and alpha, float64 score matrices and scores, the steps of "
           "calc_softdtw_forward_mixed"},
          {"calc_softdtw_pair_forward_float64", &ops::calc_softdtw_pair_forward_float64,
           "float64 buffers, the steps of calc_softdtw_forward_float64"}}) {
        const std::string doc =
            std::string("Soft-DTW forward pass of pairs (") + types +
            "), signal k against a reference of its own, one block a pair: ref_signal_lengths "
            "holds M_k, one positive length per signal, and signal k's distance and score "
            "matrices are N_k x M_k, one after the other in the anti-diagonal layout. A "
            "reference may be longer than a block's threads, each thread then serving every "
            "T-th column; with one block of M_k threads the results are those of the "
            "one-reference function, bit for bit.";
        m.def(name, strict(operation), py::arg("input_signal_lengths"),
              py::arg("ref_signal_lengths"), py::arg("distance_matrix_ptr"),
              py::arg("score_matrix_ptr"), py::arg("scores_ptr"), py::arg("gamma"),
              py::arg("alpha_ptr") = 0, py::arg("local_end") = false,
              py::arg("last_row_only") = false, py::arg("ref_gap_penalty") = 0.0, CallGuard(),
              doc.c_str());
    }
    using PairBackwardOperation = decltype(&ops::calc_softdtw_pair_backward);
    for (const auto& [name, operation, types] :
         {std::tuple<const char*, PairBackwardOperation, const char*>{
              "calc_softdtw_pair_backward", &ops::calc_softdtw_pair_backward,
              "float32 buffers, the steps of calc_softdtw_backward"},
          {"calc_softdtw_pair_backward_mixed", &ops::calc_softdtw_pair_backward_mixed,
           "float32 distances, alpha and gradients, float64 score matrices and scores, the "
           "steps of calc_softdtw_backward_mixed"},
          {"calc_softdtw_pair_backward_float64", &ops::calc_softdtw_pair_backward_float64,
           "float64 buffers, the steps of calc_softdtw_backward_float64"}}) {
        const std::string doc =
            std::string("Soft-DTW backward pass of pairs (") + types +
            "), signal k against a reference of its own: the gradient matrices of the final "
            "scores of calc_softdtw_pair_forward's version of the same path, N_k x M_k each, "
            "one after the other. ref_signal_lengths holds M_k, one positive length per signal; "
            "a reference may be longer than a block's threads.";
        m.def(name, strict(operation), py::arg("input_signal_lengths"),
              py::arg("ref_signal_lengths"), py::arg("distance_matrix_ptr"),
              py::arg("score_matrix_ptr"), py::arg("gradient_matrix_ptr"), py::arg("gamma"),
              py::arg("alpha_ptr") = 0, py::arg("local_end") = false, py::arg("scores_ptr") = 0,
              py::arg("last_row_only") = false, py::arg("ref_gap_penalty") = 0.0, CallGuard(),
              doc.c_str());
    }
    // The scores without matrices, in every module: how each runs them.
#ifdef ORVANE_VECTORISED_BUILD
    const std::string kScoresDistances = "(calc_distance's, with channels, cost or band_ptr). ";
    const std::string kPairScoresRun =
        ", bit for bit (pairs of one shape and band run side by side, each lane with its own "
        "reference). ";
#else
    const std::string kBlocks =
        "One block a signal (a pair), each column's two newest scores in its shared memory: "
        "the reference (each pair's) may be at most scores_max_ref_length(path) samples long. "
        "band_ptr is a device address. ";
    const std::string kScoresDistances =
        "(with channels, cost or band_ptr, those of distances formed channel by channel in "
        "the same float steps). " +
        kBlocks;
    const std::string kPairScoresRun = ", bit for bit. " + kBlocks;
#endif
    // What the operations that form costs from the samples take beyond the kernels' 1-D |x - y|.
    const std::string kCostArguments =
        "channels: values per sample (signals (N_k, channels) and the reference (M, channels), "
        "row-major). cost: 'abs' (|x - y| summed over the channels in order) or 'sqeuclidean' "
        "((x - y)^2 summed). band_ptr: B int32 half-widths r_k of a Sakoe-Chiba band, or 0 for "
        "none. band_kind: how r_k spreads over the N_k x M matrix, 'scaled' (cell (i, j) is "
        "kept when |i (M - 1) - j (N_k - 1)| <= r_k max(N_k - 1, M - 1)) or 'widened' "
        "(tslearn's sakoe_chiba_mask: |i - j| <= r_k widened by |N_k - M| on the longer side, "
        "-r_k <= j - i <= M - N_k + r_k for N_k <= M, M - N_k - r_k <= j - i <= r_k for "
        "N_k > M); the cells outside are infinite.";
    // Pairs: signal k against a reference of its own.
    const std::string kPairArguments =
        "ref_signal_ptr holds the references one after the other ((sum M_k, channels) values, "
        "row-major) and ref_signal_lengths their lengths M_k, one positive length per signal; "
        "a band is per pair, on its own N_k x M_k matrix (M above being M_k). ";
    const auto define_scores = [&] {
        using ScoresOperation = decltype(&ops::calc_softdtw_scores);
        for (const auto& [name, operation, types] :
             {std::tuple<const char*, ScoresOperation, const char*>{
                  "calc_softdtw_scores", &ops::calc_softdtw_scores, "float32 buffers"},
              {"calc_softdtw_scores_float64", &ops::calc_softdtw_scores_float64, "float64 buffers"},
              {"calc_softdtw_scores_mixed", &ops::calc_softdtw_scores_mixed,
               "float32 samples and alpha, float64 scores"}}) {
            const std::string doc =
                std::string("Soft-DTW scores alone (") + types +
                "): every cell's cost is formed from the samples inside the forward sweep, and no "
                "distance or score matrix is kept. The scores equal those of "
                "calc_manhattan_distance and calc_softdtw_forward of the same path bit for bit " +
                kScoresDistances + kCostArguments;
            m.def(name, strict(operation), py::arg("input_signal_ptr"),
                  py::arg("input_signal_lengths"), py::arg("ref_signal_ptr"),
                  py::arg("ref_signal_length"), py::arg("scores_ptr"), py::arg("gamma"),
                  py::arg("alpha_ptr") = 0, py::arg("local_end") = false,
                  py::arg("last_row_only") = false, py::arg("ref_gap_penalty") = 0.0,
                  py::arg("channels") = 1, py::arg("cost") = "abs", py::arg("band_ptr") = 0,
                  py::arg("band_kind") = "scaled", CallGuard(), doc.c_str());
        }
    };
    const auto define_pair_scores = [&] {
        using PairScoresOperation = decltype(&ops::calc_softdtw_pair_scores);
        for (const auto& [name, operation, types, one_pair] :
             {std::tuple<const char*, PairScoresOperation, const char*, const char*>{
                  "calc_softdtw_pair_scores", &ops::calc_softdtw_pair_scores, "float32 buffers",
                  "calc_softdtw_scores"},
              {"calc_softdtw_pair_scores_float64", &ops::calc_softdtw_pair_scores_float64,
               "float64 buffers", "calc_softdtw_scores_float64"},
              {"calc_softdtw_pair_scores_mixed", &ops::calc_softdtw_pair_scores_mixed,
               "float32 samples and alpha, float64 scores", "calc_softdtw_scores_mixed"}}) {
            const std::string doc =
                std::string("Soft-DTW scores alone of pairs (") + types +
                "), signal k against a reference of its own: each pair's score is that of " +
                one_pair + " called with that signal alone and its reference" + kPairScoresRun +
                kPairArguments + kCostArguments;
            m.def(name, strict(operation), py::arg("input_signal_ptr"),
                  py::arg("input_signal_lengths"), py::arg("ref_signal_ptr"),
                  py::arg("ref_signal_lengths"), py::arg("scores_ptr"), py::arg("gamma"),
                  py::arg("alpha_ptr") = 0, py::arg("local_end") = false,
                  py::arg("last_row_only") = false, py::arg("ref_gap_penalty") = 0.0,
                  py::arg("channels") = 1, py::arg("cost") = "abs", py::arg("band_ptr") = 0,
                  py::arg("band_kind") = "scaled", CallGuard(), doc.c_str());
        }
    };
    // The gradients without matrices: how each module holds R.
#ifdef ORVANE_VECTORISED_BUILD
    const std::string kGradientsMatrix =
        " (short signals that run side by side on the float32 and mixed paths keep theirs "
        "interleaved in their part of it)";
    const std::string kGradientsCheckpoints =
        "; a batch of one signal whose R does not fit keeps checkpoints of R there instead (at "
        "least gradient_checkpoint_cells) and computes each segment again in the backward pass, "
        "with the same results";
    const std::string kPairGradientsCheckpoints =
        "; a call of one pair whose R does not fit keeps checkpoints of R there instead (at "
        "least gradient_checkpoint_cells(N, M))";
#else
    const std::string kGradientsMatrix =
        " in the anti-diagonal layout, signal after signal (one block a signal, each column's "
        "two newest successors in its shared memory: the reference, each pair's, may be at most "
        "gradients_max_ref_length(path) samples long; band_ptr is a device address)";
    const std::string kGradientsCheckpoints =
        "; fewer cells than the batch's are refused (no checkpoints of R on the GPU)";
    const std::string kPairGradientsCheckpoints = kGradientsCheckpoints;
#endif
    const auto define_gradients = [&] {
        using GradientsOperation = decltype(&ops::calc_softdtw_gradients);
        for (const auto& [name, operation, types] :
             {std::tuple<const char*, GradientsOperation, const char*>{
                  "calc_softdtw_gradients", &ops::calc_softdtw_gradients, "float32 buffers"},
              {"calc_softdtw_gradients_float64", &ops::calc_softdtw_gradients_float64,
               "float64 buffers"},
              {"calc_softdtw_gradients_mixed", &ops::calc_softdtw_gradients_mixed,
               "float32 buffers, float64 score matrix and scores"}}) {
            const std::string doc =
                std::string("Soft-DTW scores and the gradients of sum_k w_k * score_k (") + types +
                ") with respect to the samples and the reference, added into input_gradients_ptr "
                "(0: the reference's alone) and ref_gradients_ptr, without distance or gradient "
                "matrices: score_matrix_ptr holds R" +
                kGradientsMatrix +
                ", every cell's cost is formed again from the samples and its expected "
                "alignment added into the gradients as the backward pass goes. weights_ptr: B "
                "values w_k, or 0 for all ones. score_matrix_cells: the cells score_matrix_ptr "
                "holds, 0 for the batch's" +
                kGradientsCheckpoints +
                ". A signal that a band leaves without a path scores +inf and adds no gradient. " +
                kCostArguments;
            m.def(name, strict(operation), py::arg("input_signal_ptr"),
                  py::arg("input_signal_lengths"), py::arg("ref_signal_ptr"),
                  py::arg("ref_signal_length"), py::arg("score_matrix_ptr"), py::arg("scores_ptr"),
                  py::arg("input_gradients_ptr"), py::arg("ref_gradients_ptr"), py::arg("gamma"),
                  py::arg("alpha_ptr") = 0, py::arg("weights_ptr") = 0,
                  py::arg("local_end") = false, py::arg("last_row_only") = false,
                  py::arg("ref_gap_penalty") = 0.0, py::arg("score_matrix_cells") = 0,
                  py::arg("channels") = 1, py::arg("cost") = "abs", py::arg("band_ptr") = 0,
                  py::arg("band_kind") = "scaled", CallGuard(), doc.c_str());
        }
    };
    const auto define_pair_gradients = [&] {
        using PairGradientsOperation = decltype(&ops::calc_softdtw_pair_gradients);
        for (const auto& [name, operation, types, one_pair] :
             {std::tuple<const char*, PairGradientsOperation, const char*, const char*>{
                  "calc_softdtw_pair_gradients", &ops::calc_softdtw_pair_gradients,
                  "float32 buffers", "calc_softdtw_gradients"},
              {"calc_softdtw_pair_gradients_float64", &ops::calc_softdtw_pair_gradients_float64,
               "float64 buffers", "calc_softdtw_gradients_float64"},
              {"calc_softdtw_pair_gradients_mixed", &ops::calc_softdtw_pair_gradients_mixed,
               "float32 buffers, float64 score matrix and scores",
               "calc_softdtw_gradients_mixed"}}) {
            const std::string doc =
                std::string("Soft-DTW scores of pairs (") + types +
                "), signal k against a reference of its own, and the gradients of "
                "sum_k w_k * score_k with respect to the samples and to each pair's own reference, "
                "added into input_gradients_ptr (0: the references' alone) and into the pair's own "
                "part of ref_gradients_ptr ((sum M_k, channels) values, no sum across pairs): each "
                "pair's results are those of " +
                one_pair +
                " called with that signal alone and its reference, bit for bit. score_matrix_ptr "
                "holds sum N_k * M_k cells of R; score_matrix_cells: the cells it holds, 0 for "
                "those" +
                kPairGradientsCheckpoints + ". weights_ptr: B values w_k, or 0 for all ones. " +
                kPairArguments + kCostArguments;
            m.def(name, strict(operation), py::arg("input_signal_ptr"),
                  py::arg("input_signal_lengths"), py::arg("ref_signal_ptr"),
                  py::arg("ref_signal_lengths"), py::arg("score_matrix_ptr"), py::arg("scores_ptr"),
                  py::arg("input_gradients_ptr"), py::arg("ref_gradients_ptr"), py::arg("gamma"),
                  py::arg("alpha_ptr") = 0, py::arg("weights_ptr") = 0,
                  py::arg("local_end") = false, py::arg("last_row_only") = false,
                  py::arg("ref_gap_penalty") = 0.0, py::arg("score_matrix_cells") = 0,
                  py::arg("channels") = 1, py::arg("cost") = "abs", py::arg("band_ptr") = 0,
                  py::arg("band_kind") = "scaled", CallGuard(), doc.c_str());
        }
    };
#ifndef ORVANE_VECTORISED_BUILD
    // The cell-parallel operations of pairs, with their float64 versions beside them.
    const auto define_pair = [&](const char* name, auto operation,
                                 decltype(operation) float64_operation, const char* what,
                                 const char* one_reference, const char* buffers,
                                 auto... arguments) {
        for (const auto& [suffix, version, types] :
             {std::tuple{"", operation, "float32"}, {"_float64", float64_operation, "float64"}}) {
            const std::string doc =
                std::string(what) + " of pairs (" + types + " buffers, the steps of " +
                one_reference + suffix +
                "), signal k against a reference of its own, all pairs in one call: "
                "ref_signal_lengths holds M_k, one positive length per signal, and signal k's "
                "matrices are N_k x M_k, one after the other. " +
                buffers +
                " A reference may be longer than a block's threads, each thread then serving "
                "every T-th column; with one reference repeated (M <= 1024) the results are "
                "those of " +
                one_reference + suffix +
                ": the same steps bit for bit, and where float atomics add in no fixed order, "
                "the same sums.";
            m.def((std::string(name) + suffix).c_str(), strict(version), arguments..., CallGuard(),
                  doc.c_str());
        }
    };
    define_pair("calc_manhattan_pair_distance", &ops::calc_manhattan_pair_distance,
                &ops::calc_manhattan_pair_distance_float64, "Manhattan distances",
                "calc_manhattan_distance",
                "ref_signal_ptr holds the references one after the other (sum M_k values); the "
                "distance matrices are in the anti-diagonal layout.",
                py::arg("input_signal_ptr"), py::arg("input_signal_lengths"),
                py::arg("ref_signal_ptr"), py::arg("ref_signal_lengths"),
                py::arg("distance_matrix_ptr"));
    define_pair(
        "calc_manhattan_pair_distance_gradient", &ops::calc_manhattan_pair_distance_gradient,
        &ops::calc_manhattan_pair_distance_gradient_float64, "Gradients of Manhattan distances",
        "calc_manhattan_distance_gradient",
        "ref_signal_ptr holds the references one after the other (sum M_k values), the "
        "gradient matrices are in the anti-diagonal layout; input_gradients_ptr (sum "
        "N_k values) and ref_gradients_ptr (sum M_k values: each pair's reference "
        "gradient its own, no sum across pairs) are added into.",
        py::arg("input_signal_ptr"), py::arg("input_signal_lengths"), py::arg("ref_signal_ptr"),
        py::arg("ref_signal_lengths"), py::arg("gradient_matrix_ptr"),
        py::arg("input_gradients_ptr"), py::arg("ref_gradients_ptr"));
    define_pair("convert_pair_antidiag_to_square", &ops::convert_pair_antidiag_to_square,
                &ops::convert_pair_antidiag_to_square_float64,
                "Conversion from the anti-diagonal layout to row-major order",
                "convert_antidiag_to_square",
                "input_matrix_ptr in the anti-diagonal layout, output_matrix_ptr row-major.",
                py::arg("input_signal_lengths"), py::arg("ref_signal_lengths"),
                py::arg("input_matrix_ptr"), py::arg("output_matrix_ptr"));
    define_pair("convert_pair_square_to_antidiag", &ops::convert_pair_square_to_antidiag,
                &ops::convert_pair_square_to_antidiag_float64,
                "Conversion from row-major order to the anti-diagonal layout",
                "convert_square_to_antidiag",
                "input_matrix_ptr row-major, output_matrix_ptr in the anti-diagonal layout.",
                py::arg("input_signal_lengths"), py::arg("ref_signal_lengths"),
                py::arg("input_matrix_ptr"), py::arg("output_matrix_ptr"));
    define_pair("normalize_pair_matrix", &ops::normalize_pair_matrix,
                &ops::normalize_pair_matrix_float64,
                "Normalisation of gradient matrices by their column sums", "normalize_matrix",
                "gradient_matrix_ptr (anti-diagonal) is normalised in place; "
                "ref_total_grads_ptr holds the column sums packed per pair (sum M_k values, "
                "pair k's from sum_{l<k} M_l), added into.",
                py::arg("input_signal_lengths"), py::arg("ref_signal_lengths"),
                py::arg("gradient_matrix_ptr"), py::arg("ref_total_grads_ptr"));
    define_pair("calc_pair_weighted_means", &ops::calc_pair_weighted_means,
                &ops::calc_pair_weighted_means_float64, "Weighted means of the samples",
                "calc_weighted_means",
                "gradient_matrix_ptr holds the normalised weights (anti-diagonal); "
                "weighted_means_ptr the means packed per pair (sum M_k values, pair k's from "
                "sum_{l<k} M_l), added into.",
                py::arg("input_signal_ptr"), py::arg("input_signal_lengths"),
                py::arg("ref_signal_lengths"), py::arg("gradient_matrix_ptr"),
                py::arg("weighted_means_ptr"));
    define_pair("calc_pair_weighted_std", &ops::calc_pair_weighted_std,
                &ops::calc_pair_weighted_std_float64,
                "Weighted standard deviations (log scale) of the samples", "calc_weighted_std",
                "gradient_matrix_ptr holds the normalised weights (anti-diagonal); "
                "weighted_means_ptr and weighted_std_log_ptr sum M_k values each, packed per "
                "pair (pair k's from sum_{l<k} M_l); weighted_std_log_ptr is cleared first.",
                py::arg("input_signal_ptr"), py::arg("input_signal_lengths"),
                py::arg("ref_signal_lengths"), py::arg("gradient_matrix_ptr"),
                py::arg("weighted_means_ptr"), py::arg("weighted_std_log_ptr"));
    define_pair("calc_pair_weighted_index_std", &ops::calc_pair_weighted_index_std,
                &ops::calc_pair_weighted_index_std_float64,
                "Weighted standard deviations (log scale) of the index positions",
                "calc_weighted_index_std",
                "gradient_matrix_ptr holds the normalised weights (anti-diagonal); "
                "weighted_index_std_log_ptr holds sum M_k values packed per pair (pair k's from "
                "sum_{l<k} M_l), cleared first.",
                py::arg("input_signal_lengths"), py::arg("ref_signal_lengths"),
                py::arg("gradient_matrix_ptr"), py::arg("weighted_index_std_log_ptr"));
    define_scores();
    define_gradients();
    define_pair_scores();
    define_pair_gradients();
    m.def("scores_max_ref_length", strict(&ops::scores_max_ref_length), py::arg("path"),
          "The longest reference (each pair's) that calc_softdtw_scores and "
          "calc_softdtw_pair_scores of a path ('float32', 'mixed' or 'float64') take on the "
          "current device: two scores a column in a block's shared memory, and a few columns "
          "a thread.");
    m.def("gradients_max_ref_length", strict(&ops::gradients_max_ref_length), py::arg("path"),
          "The longest reference (each pair's) that calc_softdtw_gradients and "
          "calc_softdtw_pair_gradients of a path ('float32', 'mixed' or 'float64') take on the "
          "current device: two successors a column in a block's shared memory, and a few "
          "columns a thread.");
#else
    m.def("set_num_threads", strict(&ops::set_num_threads), py::arg("threads"),
          "Number of worker threads the operations use, from 0 (the default: one per core) to the "
          "number of threads the machine runs at once.");
    define_scores();
    define_gradients();
    define_pair_scores();
    define_pair_gradients();
    using DistanceOperation = decltype(&ops::calc_distance);
    for (const auto& [name, operation, types] :
         {std::tuple<const char*, DistanceOperation, const char*>{
              "calc_distance", &ops::calc_distance, "float32 buffers"},
          {"calc_distance_float64", &ops::calc_distance_float64, "float64 buffers"}}) {
        const std::string doc = std::string("Distance matrices in the anti-diagonal layout (") +
                                types + "), +inf outside a band. " + kCostArguments;
        m.def(name, strict(operation), py::arg("input_signal_ptr"), py::arg("input_signal_lengths"),
              py::arg("ref_signal_ptr"), py::arg("ref_signal_length"),
              py::arg("distance_matrix_ptr"), py::arg("channels") = 1, py::arg("cost") = "abs",
              py::arg("band_ptr") = 0, py::arg("band_kind") = "scaled", CallGuard(), doc.c_str());
    }
    using DistanceGradientOperation = decltype(&ops::calc_distance_gradient);
    for (const auto& [name, operation, types] :
         {std::tuple<const char*, DistanceGradientOperation, const char*>{
              "calc_distance_gradient", &ops::calc_distance_gradient, "float32 buffers"},
          {"calc_distance_gradient_float64", &ops::calc_distance_gradient_float64,
           "float64 buffers"}}) {
        const std::string doc =
            std::string("The gradient of sum E * cost (") + types +
            ") with respect to the samples and the reference, E in the anti-diagonal layout, "
            "added into input_gradients_ptr ((sum N_k, channels) values) and ref_gradients_ptr "
            "((M, channels) values) in a fixed order. " +
            kCostArguments;
        m.def(name, strict(operation), py::arg("input_signal_ptr"), py::arg("input_signal_lengths"),
              py::arg("ref_signal_ptr"), py::arg("ref_signal_length"),
              py::arg("gradient_matrix_ptr"), py::arg("input_gradients_ptr"),
              py::arg("ref_gradients_ptr"), py::arg("channels") = 1, py::arg("cost") = "abs",
              CallGuard(), doc.c_str());
    }
    m.def("gradient_checkpoint_cells", strict(&ops::gradient_checkpoint_cells),
          py::arg("input_signal_length"), py::arg("ref_signal_length"),
          "Cells of score matrix that the gradients of one signal of this length need at the "
          "least, keeping checkpoints of R.");
#endif
    for (const auto& define_other : other_versions) {
        define_other();
    }
}
