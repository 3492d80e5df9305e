// Distance matrices and their gradient on the CPU, vectorised along the anti-diagonals: on
// diagonal d the columns rise and the rows fall, so the reference is read forwards and the
// signal backwards. The gradient sums go, per signal, into the signal's own samples and into
// a reference gradient per group of signals, added in a fixed order: no atomics, the same
// sums on every run.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "vectorised/distance.cpp"
#include <algorithm>
#include <vector>

#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "vectorised/batch.h"
#include "vectorised/call_samples.h"
#include "vectorised/costs-inl.h"
#include "vectorised/simd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {
namespace {

template <typename T>
void DistanceSignal(const T* samples, const T* reference, T* distance, int rows, int cols) {
    const TagOf<T> d;
    ForEachCellVector(d, rows, cols, [&](const CellVector& cells) {
        const auto x = LoadReversedPart(d, samples + cells.row, cells.count);
        const auto y = LoadPart(d, reference + cells.column, cells.count);
        StorePart(d, hn::Abs(hn::Sub(x, y)), distance + cells.cell, cells.count);
    });
}

// Adds every cell's g * sign(x - y) to its sample's gradient and g * sign(y - x) to its
// reference sample's.
template <typename T>
void DistanceGradientSignal(const T* samples, const T* reference, const T* gradient,
                            T* sample_gradients, T* reference_gradients, int rows, int cols) {
    const TagOf<T> d;
    ForEachCellVector(d, rows, cols, [&](const CellVector& cells) {
        const auto x = LoadReversedPart(d, samples + cells.row, cells.count);
        const auto y = LoadPart(d, reference + cells.column, cells.count);
        const auto g = LoadPart(d, gradient + cells.cell, cells.count);
        T* sample_sums = sample_gradients + cells.row;
        T* reference_sums = reference_gradients + cells.column;
        StoreReversedPart(d,
                          hn::Add(LoadReversedPart(d, sample_sums, cells.count),
                                  hn::Mul(g, DeadZoneSign(d, hn::Sub(x, y)))),
                          sample_sums, cells.count);
        StorePart(d,
                  hn::Add(LoadPart(d, reference_sums, cells.count),
                          hn::Mul(g, DeadZoneSign(d, hn::Sub(y, x)))),
                  reference_sums, cells.count);
    });
}

// Costs of any number of channels and either kind, +inf outside the band.
template <typename T>
void CostsSignal(const SampleSource<T>& source, const Band& band, T* distance) {
    const TagOf<T> d;
    const int lanes = static_cast<int>(hn::Lanes(d));
    for (int diagonal = 0; diagonal < source.rows + source.cols - 1; ++diagonal) {
        const DiagonalSpan span = diagonal_span(diagonal, source.rows, source.cols);
        const auto [begin, end] = band.positions(diagonal, span);
        T* own = distance + span.start;
        std::fill(own, own + begin, kInfinity<T>);
        std::fill(own + end, own + span.length, kInfinity<T>);
        int p = begin;
        for (; p + 2 * lanes <= end; p += 2 * lanes) {
            const int column = span.first_col + p;
            const auto pair = WholeCellCostPair(d, source, diagonal - column, column);
            hn::StoreU(pair[0], d, own + p);
            hn::StoreU(pair[1], d, own + p + lanes);
        }
        for (; p < end; p += lanes) {
            const int column = span.first_col + p;
            const std::size_t count = static_cast<std::size_t>(std::min(lanes, end - p));
            StorePart(d, CellCosts(d, source, diagonal - column, column, count), own + p, count);
        }
    }
}

// Adds every cell's g times its cost's derivative into the channel-major gradients.
template <typename T>
void CostGradientsSignal(const SampleSource<T>& source, const T* gradient, T* sample_gradients,
                         T* reference_gradients) {
    const TagOf<T> d;
    ForEachCellVector(d, source.rows, source.cols, [&](const CellVector& cells) {
        AddCellGradients(d, LoadPart(d, gradient + cells.cell, cells.count), source,
                         sample_gradients, reference_gradients, cells.row, cells.column,
                         cells.count);
    });
}

}  // namespace

// The entry points of each element type, which Highway dispatches by name.
void CostsSignal32(const SampleSource<float>* source, const Band* band, float* distance) {
    CostsSignal(*source, *band, distance);
}
void CostsSignal64(const SampleSource<double>* source, const Band* band, double* distance) {
    CostsSignal(*source, *band, distance);
}
void CostGradientsSignal32(const SampleSource<float>* source, const float* gradient,
                           float* sample_gradients, float* reference_gradients) {
    CostGradientsSignal(*source, gradient, sample_gradients, reference_gradients);
}
void CostGradientsSignal64(const SampleSource<double>* source, const double* gradient,
                           double* sample_gradients, double* reference_gradients) {
    CostGradientsSignal(*source, gradient, sample_gradients, reference_gradients);
}
void DistanceSignal32(const float* samples, const float* reference, float* distance, int rows,
                      int cols) {
    DistanceSignal(samples, reference, distance, rows, cols);
}
void DistanceSignal64(const double* samples, const double* reference, double* distance, int rows,
                      int cols) {
    DistanceSignal(samples, reference, distance, rows, cols);
}
void DistanceGradientSignal32(const float* samples, const float* reference, const float* gradient,
                              float* sample_gradients, float* reference_gradients, int rows,
                              int cols) {
    DistanceGradientSignal(samples, reference, gradient, sample_gradients, reference_gradients,
                           rows, cols);
}
void DistanceGradientSignal64(const double* samples, const double* reference,
                              const double* gradient, double* sample_gradients,
                              double* reference_gradients, int rows, int cols) {
    DistanceGradientSignal(samples, reference, gradient, sample_gradients, reference_gradients,
                           rows, cols);
}

}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace orvane::vectorised {

HWY_EXPORT(DistanceSignal32);
HWY_EXPORT(DistanceSignal64);
HWY_EXPORT(DistanceGradientSignal32);
HWY_EXPORT(DistanceGradientSignal64);
HWY_EXPORT(CostsSignal32);
HWY_EXPORT(CostsSignal64);
HWY_EXPORT(CostGradientsSignal32);
HWY_EXPORT(CostGradientsSignal64);

namespace {

template <typename T>
struct DistancePasses;

template <>
struct DistancePasses<float> {
    template <typename... Args>
    static void distance(Args... args) {
        HWY_DYNAMIC_DISPATCH(DistanceSignal32)(args...);
    }
    template <typename... Args>
    static void gradient(Args... args) {
        HWY_DYNAMIC_DISPATCH(DistanceGradientSignal32)(args...);
    }
    template <typename... Args>
    static void costs(Args... args) {
        HWY_DYNAMIC_DISPATCH(CostsSignal32)(args...);
    }
    template <typename... Args>
    static void cost_gradients(Args... args) {
        HWY_DYNAMIC_DISPATCH(CostGradientsSignal32)(args...);
    }
};

template <>
struct DistancePasses<double> {
    template <typename... Args>
    static void distance(Args... args) {
        HWY_DYNAMIC_DISPATCH(DistanceSignal64)(args...);
    }
    template <typename... Args>
    static void gradient(Args... args) {
        HWY_DYNAMIC_DISPATCH(DistanceGradientSignal64)(args...);
    }
    template <typename... Args>
    static void costs(Args... args) {
        HWY_DYNAMIC_DISPATCH(CostsSignal64)(args...);
    }
    template <typename... Args>
    static void cost_gradients(Args... args) {
        HWY_DYNAMIC_DISPATCH(CostGradientsSignal64)(args...);
    }
};

template <typename T>
void manhattan_distance(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                        HostAddress ref_signal, int ref_signal_length,
                        HostAddress distance_matrix) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    require_buffers("calc_manhattan_distance", {{"input_signal_ptr", input_signal},
                                                {"ref_signal_ptr", ref_signal},
                                                {"distance_matrix_ptr", distance_matrix}});
    const auto samples = host_pointer<const T>(input_signal);
    const auto reference = host_pointer<const T>(ref_signal);
    const auto distance = host_pointer<T>(distance_matrix);
    for_each_signal(batch, [&](const Signal& signal) {
        DistancePasses<T>::distance(samples + signal.first_sample, reference,
                                    distance + signal.first_cell, signal.rows, signal.cols);
    });
}

template <typename T>
void manhattan_distance_gradient(HostAddress input_signal,
                                 const std::vector<int>& input_signal_lengths,
                                 HostAddress ref_signal, int ref_signal_length,
                                 HostAddress gradient_matrix, HostAddress input_gradients,
                                 HostAddress ref_gradients) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    require_buffers("calc_manhattan_distance_gradient", {{"input_signal_ptr", input_signal},
                                                         {"ref_signal_ptr", ref_signal},
                                                         {"gradient_matrix_ptr", gradient_matrix},
                                                         {"input_gradients_ptr", input_gradients},
                                                         {"ref_gradients_ptr", ref_gradients}});
    const auto samples = host_pointer<const T>(input_signal);
    const auto reference = host_pointer<const T>(ref_signal);
    const auto gradient = host_pointer<const T>(gradient_matrix);
    const auto sample_gradients = host_pointer<T>(input_gradients);
    add_group_column_sums(batch, host_pointer<T>(ref_gradients), [&](int first, int last, T* own) {
        for (int k = first; k < last; ++k) {
            const Signal signal = batch.signal(k);
            DistancePasses<T>::gradient(
                samples + signal.first_sample, reference, gradient + signal.first_cell,
                sample_gradients + signal.first_sample, own, signal.rows, signal.cols);
        }
    });
}

template <typename T>
void distance(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
              HostAddress ref_signal, int ref_signal_length, HostAddress distance_matrix,
              int channels, const std::string& cost, HostAddress band,
              const std::string& band_kind) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    require_buffers("calc_distance", {{"input_signal_ptr", input_signal},
                                      {"ref_signal_ptr", ref_signal},
                                      {"distance_matrix_ptr", distance_matrix}});
    const CallSamples<T> call(batch, input_signal, ref_signal, channels, cost, band, band_kind);
    const auto distance = host_pointer<T>(distance_matrix);
    for_each_signal(batch, [&](const Signal& signal) {
        const typename CallSamples<T>::Own own(call, signal);
        DistancePasses<T>::costs(&own.source, &own.band, distance + signal.first_cell);
    });
}

template <typename T>
void distance_gradient(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                       HostAddress ref_signal, int ref_signal_length, HostAddress gradient_matrix,
                       HostAddress input_gradients, HostAddress ref_gradients, int channels,
                       const std::string& cost) {
    const Batch batch(input_signal_lengths, ref_signal_length);
    // input_gradients_ptr may be 0: the reference's gradient alone.
    require_buffers("calc_distance_gradient", {{"input_signal_ptr", input_signal},
                                               {"ref_signal_ptr", ref_signal},
                                               {"gradient_matrix_ptr", gradient_matrix},
                                               {"ref_gradients_ptr", ref_gradients}});
    const CallSamples<T> call(batch, input_signal, ref_signal, channels, cost, 0, "scaled");
    const auto gradient = host_pointer<const T>(gradient_matrix);
    const auto sample_gradients = host_pointer<T>(input_gradients);
    add_group_column_sums(
        batch, host_pointer<T>(ref_gradients),
        [&](int first, int last, T* own_reference) {
            for (int k = first; k < last; ++k) {
                const Signal signal = batch.signal(k);
                const typename CallSamples<T>::Own own(call, signal);
                ChannelGradients<T> own_samples(sample_gradients, signal, channels);
                DistancePasses<T>::cost_gradients(&own.source, gradient + signal.first_cell,
                                                  own_samples.data(), own_reference);
                own_samples.finish();
            }
        },
        channels);
}

}  // namespace

void calc_distance(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                   HostAddress ref_signal, int ref_signal_length, HostAddress distance_matrix,
                   int channels, const std::string& cost, HostAddress band,
                   const std::string& band_kind) {
    distance<float>(input_signal, input_signal_lengths, ref_signal, ref_signal_length,
                    distance_matrix, channels, cost, band, band_kind);
}

void calc_distance_float64(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                           HostAddress ref_signal, int ref_signal_length,
                           HostAddress distance_matrix, int channels, const std::string& cost,
                           HostAddress band, const std::string& band_kind) {
    distance<double>(input_signal, input_signal_lengths, ref_signal, ref_signal_length,
                     distance_matrix, channels, cost, band, band_kind);
}

void calc_distance_gradient(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                            HostAddress ref_signal, int ref_signal_length,
                            HostAddress gradient_matrix, HostAddress input_gradients,
                            HostAddress ref_gradients, int channels, const std::string& cost) {
    distance_gradient<float>(input_signal, input_signal_lengths, ref_signal, ref_signal_length,
                             gradient_matrix, input_gradients, ref_gradients, channels, cost);
}

void calc_distance_gradient_float64(HostAddress input_signal,
                                    const std::vector<int>& input_signal_lengths,
                                    HostAddress ref_signal, int ref_signal_length,
                                    HostAddress gradient_matrix, HostAddress input_gradients,
                                    HostAddress ref_gradients, int channels,
                                    const std::string& cost) {
    distance_gradient<double>(input_signal, input_signal_lengths, ref_signal, ref_signal_length,
                              gradient_matrix, input_gradients, ref_gradients, channels, cost);
}

void calc_manhattan_distance(HostAddress input_signal, const std::vector<int>& input_signal_lengths,
                             HostAddress ref_signal, int ref_signal_length,
                             HostAddress distance_matrix) {
    manhattan_distance<float>(input_signal, input_signal_lengths, ref_signal, ref_signal_length,
                              distance_matrix);
}

void calc_manhattan_distance_float64(HostAddress input_signal,
                                     const std::vector<int>& input_signal_lengths,
                                     HostAddress ref_signal, int ref_signal_length,
                                     HostAddress distance_matrix) {
    manhattan_distance<double>(input_signal, input_signal_lengths, ref_signal, ref_signal_length,
                               distance_matrix);
}

void calc_manhattan_distance_gradient(HostAddress input_signal,
                                      const std::vector<int>& input_signal_lengths,
                                      HostAddress ref_signal, int ref_signal_length,
                                      HostAddress gradient_matrix, HostAddress input_gradients,
                                      HostAddress ref_gradients) {
    manhattan_distance_gradient<float>(input_signal, input_signal_lengths, ref_signal,
                                       ref_signal_length, gradient_matrix, input_gradients,
                                       ref_gradients);
}

void calc_manhattan_distance_gradient_float64(HostAddress input_signal,
                                              const std::vector<int>& input_signal_lengths,
                                              HostAddress ref_signal, int ref_signal_length,
                                              HostAddress gradient_matrix,
                                              HostAddress input_gradients,
                                              HostAddress ref_gradients) {
    manhattan_distance_gradient<double>(input_signal, input_signal_lengths, ref_signal,
                                        ref_signal_length, gradient_matrix, input_gradients,
                                        ref_gradients);
}

}  // namespace orvane::vectorised
#endif  // HWY_ONCE
